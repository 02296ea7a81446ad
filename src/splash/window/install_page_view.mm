#import "splash/window/install_page_view.h"

#ifndef GNUSTEP
#import <QuartzCore/QuartzCore.h>
#endif

#include "localization/translater.h"
#import "splash/window/window_support.h"

using Zentak::TranslaterText;
using Zentak::Window::Text;

namespace {

const NSRect kPageFrame = {{0, 0}, {640, 440}};
const CGFloat kMargin = 24;

NSTextField* MakeStatusText(NSRect frame, NSFont* font)
{
    NSTextField* text = [[[NSTextField alloc] initWithFrame:frame] autorelease];
    [text setEditable:NO];
    [text setSelectable:NO];
    [text setBezeled:NO];
    [text setBordered:NO];
    [text setDrawsBackground:NO];
    [text setBackgroundColor:[NSColor clearColor]];
    [text setFont:font];
    return text;
}

NSFont* StatusFont()
{
    NSFont* font = [[NSFontManager sharedFontManager]
        fontWithFamily:[[NSFont userFontOfSize:0] familyName]
                traits:0
                weight:0
                  size:12];
    return font ? font : [NSFont systemFontOfSize:12];
}

} // namespace

@implementation InstallPageView

- (id)initWithFrame:(NSRect)frame
{
    self = [super initWithFrame:frame];
    if (!self) {
        return nil;
    }
    const NSSize size = frame.size;
    backgroundView = [[NSView alloc] initWithFrame:[self bounds]];
    [backgroundView setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    [self addSubview:backgroundView];

    imageView = [[NSImageView alloc]
        initWithFrame:NSMakeRect(kMargin, 80, size.width - 2 * kMargin, size.height - 80 - kMargin)];
    [imageView setImageScaling:NSImageScaleAxesIndependently];
    [imageView setImageFrameStyle:NSImageFrameNone];
#ifndef GNUSTEP
    [imageView setWantsLayer:YES];
    [[imageView layer] setBorderWidth:0];
    [[imageView layer] setCornerRadius:12];
    [[imageView layer] setMasksToBounds:YES];
#endif
    [self addSubview:imageView];

    NSFont* font = StatusFont();
    installationProgress =
        [MakeStatusText(NSMakeRect(kMargin, kMargin, size.width - 128, 18), font) retain];
    [installationProgress setStringValue:Text(TranslaterText::Installing)];
    [self addSubview:installationProgress];

    downloadProgress =
        [MakeStatusText(NSMakeRect(size.width - 104, kMargin, 80, 18), font) retain];
    [downloadProgress setAlignment:NSTextAlignmentRight];
    [downloadProgress setStringValue:@"0 %"];
    [self addSubview:downloadProgress];

    const NSRect barFrame = NSMakeRect(kMargin, 50, size.width - 2 * kMargin, 6);
    downloadProgressBar = [[NSProgressIndicator alloc] initWithFrame:barFrame];
    [downloadProgressBar setStyle:NSProgressIndicatorStyleBar];
    [downloadProgressBar setIndeterminate:NO];
    [downloadProgressBar setMinValue:0];
    [downloadProgressBar setMaxValue:100];
    [downloadProgressBar setDoubleValue:0];
    [self addSubview:downloadProgressBar];

    installationProgressBar = [[NSProgressIndicator alloc] initWithFrame:barFrame];
    [installationProgressBar setStyle:NSProgressIndicatorStyleBar];
    [installationProgressBar setIndeterminate:YES];
    [installationProgressBar setHidden:YES];
    [self addSubview:installationProgressBar];

    isDownloading = YES;
    return self;
}

- (void)dealloc
{
    [backgroundView release];
    [imageView release];
    [installationProgressBar release];
    [installationProgress release];
    [downloadProgressBar release];
    [downloadProgress release];
    [super dealloc];
}

- (void)setImage:(NSData*)imageData
{
    if (!imageData) {
        return;
    }
    NSImage* image = [[[NSImage alloc] initWithData:imageData] autorelease];
    if (image && [[image representations] count] > 0) {
        [imageView setImage:image];
    }
}

- (void)setProgress:(NSInteger)value
{
    if (value > 99) {
        if (isDownloading) {
            isDownloading = NO;
            [downloadProgressBar setHidden:YES];
            [downloadProgress setHidden:YES];
            [installationProgressBar setHidden:NO];
            [installationProgressBar startAnimation:nil];
            [installationProgress setStringValue:Text(TranslaterText::CopyingFiles)];
        }
        return;
    }
    [downloadProgressBar setDoubleValue:value];
    [downloadProgress setStringValue:[NSString stringWithFormat:@"%ld %%", (long)value]];
}

- (void)updateLocale
{
    [installationProgress setStringValue:Text(isDownloading ? TranslaterText::Installing
                                                            : TranslaterText::CopyingFiles)];
}

@end

@implementation InstallPageViewController

- (void)loadView
{
    InstallPageView* view = [[InstallPageView alloc] initWithFrame:kPageFrame];
    [self setView:view];
    [view release];
}

- (InstallPageView*)installPage
{
    return (InstallPageView*)[self view];
}

- (void)setImage:(NSData*)imageData
{
    [[self installPage] setImage:imageData];
}

- (void)setProgress:(NSInteger)value
{
    [[self installPage] setProgress:value];
}

- (void)updateLocale:(id)sender
{
    (void)sender;
    [[self installPage] updateLocale];
}

@end
