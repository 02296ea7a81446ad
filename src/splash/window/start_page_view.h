#pragma once

#import "splash/window/appkit_compat.h"

@class StartPageViewController;

// The start page: product, version and icon, then (once the installer info
// is known) the language selector, the licence consent and the install
// button. Main thread only.
@interface StartPageView : NSView {
    NSView* backgroundView;
    NSProgressIndicator* loadingIndicator;
    NSTextField* installerName;
    NSTextField* installerVersion;
    NSTextField* localeLabel;
    NSComboBox* localeSelector;
    NSMutableDictionary* localesDictionary;
    NSButton* installButton;
    NSButton* eulaAcceptButton;
    NSTextView* eulaAcceptLabel;
}

// Builds the page; `controller` becomes the target of the install button and
// of the consent checkbox. Sets the settings InstallDir and Locale.
- (id)initWithFrame:(NSRect)frame controller:(StartPageViewController*)controller;

// Leaves the loading state: spinner gone, controls shown and labelled.
- (void)updateInstallerInfo;
// Relabels the page in the current locale.
- (void)updateLocale;
// Enabled exactly while the consent box is ticked.
- (void)updateInstallButtonState;
- (BOOL)consentCheckboxState;

@end

@interface StartPageViewController : NSViewController

- (void)updateInstallerInfo:(id)sender;
- (void)updateLocale:(id)sender;
- (BOOL)consentCheckboxState;

// Targets of the page's controls.
- (void)startButtonClicked:(id)sender;
- (void)acceptEULAChanged:(id)sender;

@end
