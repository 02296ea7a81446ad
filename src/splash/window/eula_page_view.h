#pragma once

#import "splash/window/appkit_compat.h"

// The licence page: the licence text of the current locale in a scroll view,
// with an accept and a back button. Main thread only.
@interface EULAPageView : NSView {
    NSView* backgroundView;
    NSScrollView* eulaScrollView;
    NSTextView* eula;
    NSButton* acceptButton;
    NSButton* stepBackButton;
}

- (id)initWithFrame:(NSRect)frame controller:(id)controller;
// Reloads the licence text and relabels the buttons in the current locale.
- (void)updateLocale;

@end

@interface EULAPageViewController : NSViewController

- (void)updateLocale:(id)sender;

// Targets of the page's buttons.
- (void)acceptButtonClicked:(id)sender;
- (void)stepBackButtonClicked:(id)sender;

@end
