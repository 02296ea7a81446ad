#pragma once

#import "splash/window/appkit_compat.h"

// The install page: the product picture, then the download bar with its
// percentage, replaced once by the installation display (an animated bar
// and "Copying files"). Main thread only.
@interface InstallPageView : NSView {
    NSView* backgroundView;
    NSImageView* imageView;
    NSProgressIndicator* installationProgressBar;
    NSTextField* installationProgress;
    NSProgressIndicator* downloadProgressBar;
    NSTextField* downloadProgress;
    BOOL isDownloading;
}

// Shows the picture when the bytes decode; otherwise keeps the current one.
- (void)setImage:(NSData*)imageData;
// Up to 99: the download display; above 99: the installation display, for good.
- (void)setProgress:(NSInteger)value;
- (void)updateLocale;

@end

@interface InstallPageViewController : NSViewController

- (void)setImage:(NSData*)imageData;
- (void)setProgress:(NSInteger)value;
- (void)updateLocale:(id)sender;

@end
