#pragma once

#include <atomic>
#include <cstdint>

#import "splash/window/appkit_compat.h"

namespace Zentak {
class ISplashEventObserver;
}

@class ViewController;

// The installer's window. It carries the state that the bridge (MacSplash)
// hands over between threads: the Set... messages store data and may be
// sent on the logic thread while that thread waits for the matching
// Update.../Show... message, which runs on the main thread. Everything else
// runs on the main thread.
@interface SplashImpl : NSWindow {
    Zentak::ISplashEventObserver* observer;
    int currentPage;
    NSInteger downloadProgress;
    NSMutableDictionary* images;
    int closeButtonState;
    NSAlert* notEnoughDiskSpaceDialog;
    NSAlert* retryDialog;
    // Set on the main thread when a dialog is shown, tested on both threads.
    std::atomic<bool> notEnoughSpaceDialogVisible;
    std::atomic<bool> retryDialogVisible;
    std::atomic<bool> noConnectionDialogVisible;

    ViewController* viewController;
    // Messages stored by the logic thread, put on their dialogs when shown.
    NSString* retryMessage;
    NSString* diskSpaceMessage;
    // Dialogs built when shown, kept until the next one replaces them.
    NSAlert* noConnectionDialog;
    NSAlert* alreadyRunningDialog;
    NSAlert* closeConfirmationDialog;
    BOOL closeConfirmationVisible;
    // Once closing, no dialog starts any more.
    BOOL closing;
}

- (id)initWithObserver:(Zentak::ISplashEventObserver*)splashObserver contentRect:(NSRect)rect;
// Installs the content view controller (its view becomes the content view).
- (void)setSplashViewController:(ViewController*)controller;
// From now on no event reaches the observer (it is about to go).
- (void)clearObserver;

// Stored on the calling thread.
- (void)SetPage:(int)page;
- (void)SetDownloadProgress:(NSInteger)value;
- (void)SetImage:(int)page imageData:(NSData*)data;
- (void)SetCloseButtonState:(int)state;
- (void)SetProduct:(NSString*)product;
- (void)SetDisk:(NSString*)disk spaceRequired:(uint64_t)required whileHaving:(uint64_t)available;

// Performed on the main thread; the argument is the window itself.
- (void)UpdatePage:(id)sender;
- (void)UpdateProgress:(id)sender;
- (void)UpdateInstallerInfo:(id)sender;
- (void)UpdateLocale:(id)sender;
- (void)UpdateMainImage:(id)sender;
- (void)UpdateInstallImage:(id)sender;
- (void)UpdateCloseButtonState:(id)sender;
- (void)Close;
- (void)ShowNoConnectionError;
- (void)ShowRetryDialog;
- (void)ShowInstallerAlreadyRunningDialog;
- (void)ShowNotEnoughDiskSpaceDialog;

// Quit was chosen (menu, Dock, a script): does what the close button does,
// and nothing while that button is disabled.
- (void)requestQuit;
// The system ends the session: the run ends as after "Yes" to the close
// question, without asking, also while the close button is disabled.
- (void)endRun;

// Page actions, sent up the responder chain by the pages.
- (void)OnStartButtonPressed:(id)sender;
- (void)OnEulaShown:(id)sender;
- (void)OnEulaHidden:(id)sender;
- (void)OnConsentCheckboxStateChanged:(id)sender;

@end
