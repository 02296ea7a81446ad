#pragma once

#import "splash/window/appkit_compat.h"

@class EULAPageViewController;
@class InstallPageViewController;
@class StartPageViewController;

// Tab indices of the pages.
enum SplashTab : NSInteger {
    SplashTabStart = 0,
    SplashTabInstall = 1,
    SplashTabLicence = 2,
};

// Targets of ViewController's setImage:imageData:.
enum SplashImageTarget : int {
    SplashImageMain = 0,
    SplashImageInstall = 1,
};

// The window's content: a tab view without visible tabs holding the start,
// install and licence pages. Main thread only.
@interface ViewController : NSViewController {
    StartPageViewController* m_startPageController;
    InstallPageViewController* m_installPageController;
    EULAPageViewController* m_eulaPageController;
    NSTabView* m_tabView;
}

- (void)setPage:(NSInteger)index;
- (void)setProgress:(NSInteger)value;
- (void)setImage:(int)target imageData:(NSData*)imageData;
- (void)updateInstallerInfo:(id)sender;
- (void)updateLocale:(id)sender;
- (BOOL)consentCheckboxState;
- (NSInteger)selectedPage;

@end
