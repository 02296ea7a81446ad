#import "splash/window/splash_impl.h"

#include <string>

#include "localization/translater.h"
#include "splash/splash.h"
#include "utils/string_utils.h"
#import "splash/window/view_controller.h"
#import "splash/window/window_support.h"

using Zentak::TranslaterText;
using Zentak::Window::Text;
using Zentak::Window::ToNSString;

namespace {

// Return codes of an alert's first, second and third button.
constexpr NSInteger kFirstButton = 1000;
constexpr NSInteger kSecondButton = 1001;
constexpr NSInteger kThirdButton = 1002;

constexpr int kMainPage = 1;
constexpr int kProgressPage = 4;
constexpr int kWaitPage = 5;

NSString* ImageKey(int page)
{
    return [NSString stringWithFormat:@"pageId_%d", page];
}

void SetAlertMessage(NSAlert* alert, NSString* message)
{
#ifdef GNUSTEP
    // GNUstep draws the message as a one-line heading that it does not wrap
    // and fills an empty informative text with a placeholder. A first line
    // becomes the heading and the rest the text below it; one long line goes
    // below, where it wraps.
    constexpr NSUInteger kLongestHeading = 40;
    NSRange lineBreak = [message rangeOfString:@"\n"];
    if (lineBreak.location != NSNotFound) {
        [alert setMessageText:[message substringToIndex:lineBreak.location]];
        [alert setInformativeText:[message substringFromIndex:NSMaxRange(lineBreak)]];
    } else if ([message length] > kLongestHeading) {
        [alert setMessageText:@""];
        [alert setInformativeText:message];
    } else {
        [alert setMessageText:message];
        [alert setInformativeText:@" "];
    }
#else
    [alert setMessageText:message];
    [alert setInformativeText:@""];
#endif
}

// A new alert, retained for the caller.
NSAlert* MakeAlert(NSAlertStyle style, NSString* message, NSArray* buttons)
{
    NSAlert* alert = [[NSAlert alloc] init];
    [alert setAlertStyle:style];
    SetAlertMessage(alert, message);
    for (NSString* title in buttons) {
        [alert addButtonWithTitle:title];
    }
    return alert;
}

} // namespace

// A dialog waiting to be shown on a later turn of the loop.
@interface SplashDialogRequest : NSObject {
    NSAlert* alert;
    SEL didEnd;
    BOOL taken;
}
- (id)initWithAlert:(NSAlert*)dialog didEnd:(SEL)selector;
- (NSAlert*)alert;
- (SEL)didEnd;
// YES the first time only.
- (BOOL)take;
@end

@implementation SplashDialogRequest

- (id)initWithAlert:(NSAlert*)dialog didEnd:(SEL)selector
{
    self = [super init];
    if (self) {
        alert = [dialog retain];
        didEnd = selector;
    }
    return self;
}

- (void)dealloc
{
    [alert release];
    [super dealloc];
}

- (NSAlert*)alert
{
    return alert;
}

- (SEL)didEnd
{
    return didEnd;
}

- (BOOL)take
{
    const BOOL first = !taken;
    taken = YES;
    return first;
}

@end

@interface SplashImpl ()
- (void)updateTitle;
- (void)beginDialog:(NSAlert*)alert didEnd:(SEL)selector;
- (void)presentDialog:(SplashDialogRequest*)request;
- (void)postWakeUpEvent;
@end

@implementation SplashImpl

- (id)initWithObserver:(Zentak::ISplashEventObserver*)splashObserver contentRect:(NSRect)rect
{
    self = [super initWithContentRect:rect
                            styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                      NSWindowStyleMaskMiniaturizable
                              backing:NSBackingStoreBuffered
                                defer:NO];
    if (!self) {
        return nil;
    }
    observer = splashObserver;
    currentPage = 0;
    downloadProgress = 0;
    closeButtonState = Zentak::ISplash::Enabled;
    [self setReleasedWhenClosed:NO];
    [self setDelegate:(id)self];

    // Built once, with the button titles of the locale in force now.
    retryDialog = MakeAlert(NSAlertStyleInformational, @"",
                            [NSArray arrayWithObjects:Text(TranslaterText::TryAgainButton),
                                                      Text(TranslaterText::SkipButton),
                                                      Text(TranslaterText::CancelButton), nil]);
    notEnoughDiskSpaceDialog =
        MakeAlert(NSAlertStyleInformational, @"",
                  [NSArray arrayWithObjects:Text(TranslaterText::CancelButton),
                                            Text(TranslaterText::TryAgainButton), nil]);
    return self;
}

- (void)dealloc
{
    [NSObject cancelPreviousPerformRequestsWithTarget:self];
    [images release];
    [notEnoughDiskSpaceDialog release];
    [retryDialog release];
    [viewController release];
    [retryMessage release];
    [diskSpaceMessage release];
    [noConnectionDialog release];
    [alreadyRunningDialog release];
    [closeConfirmationDialog release];
    [super dealloc];
}

#ifdef GNUSTEP
// GNUstep hands a click on a window that is not key to the view under it only
// when that view accepts the first mouse; otherwise the click just makes the
// window key. Without a window manager the window loses key status for
// moments (a panel or the language list closing), and a person's click on a
// button or the language selector in that moment was lost. Every control of
// the page takes its click.
- (void)sendEvent:(NSEvent*)event
{
    if ([event type] == NSLeftMouseUp) {
        // A quick click can reach the queue with its release ahead of its
        // press. A control tracks the mouse from the press until the
        // release; handed the release first, it waits for another one and
        // the click is lost (the next click only ends that wait). The press
        // goes first, with the release right behind it.
        NSEvent* press = [NSApp nextEventMatchingMask:NSLeftMouseDownMask
                                            untilDate:[NSDate distantPast]
                                               inMode:NSDefaultRunLoopMode
                                              dequeue:YES];
        if (press != nil && [press timestamp] <= [event timestamp]) {
            [NSApp postEvent:event atStart:YES];
            [NSApp sendEvent:press];
            return;
        }
        if (press != nil) {
            [NSApp postEvent:press atStart:YES];
        }
    }
    if ([event type] == NSLeftMouseDown && ![self isKeyWindow]) {
        [self makeKeyAndOrderFront:self];
    }
    [super sendEvent:event];
}
#endif

- (void)clearObserver
{
    observer = nullptr;
    // Dialogs not shown yet would hold the window and never come.
    [NSObject cancelPreviousPerformRequestsWithTarget:self];
}

- (void)setSplashViewController:(ViewController*)controller
{
    NSView* view = [controller view];
#ifdef GNUSTEP
    // No content view controllers here: the window takes the controller's
    // view and its size, as Cocoa does for a content view controller.
    [self setContentSize:[view frame].size];
    [self setContentView:view];
#else
    [self setContentViewController:controller];
#endif
    [viewController autorelease];
    viewController = [controller retain];
}

// ---- Stored on the calling thread ----------------------------------------

- (void)SetPage:(int)page
{
    currentPage = page;
}

- (void)SetDownloadProgress:(NSInteger)value
{
    downloadProgress = value;
}

- (void)SetImage:(int)page imageData:(NSData*)data
{
    if (!images) {
        images = [[NSMutableDictionary alloc] init];
    }
    if (data) {
        [images setObject:data forKey:ImageKey(page)];
    }
}

- (void)SetCloseButtonState:(int)state
{
    closeButtonState = state;
}

- (void)SetProduct:(NSString*)product
{
    if (retryDialogVisible) {
        return;
    }
    const std::string text = Zentak::Util::ReplaceAll(
        Zentak::Translater::GetText(TranslaterText::ProcessFailed), "__RETRY_PRODUCT__",
        product ? std::string([product UTF8String]) : std::string());
    [retryMessage autorelease];
    retryMessage = [ToNSString(text) retain];
}

- (void)SetDisk:(NSString*)disk spaceRequired:(uint64_t)required whileHaving:(uint64_t)available
{
    (void)disk;
    if (notEnoughSpaceDialogVisible) {
        return;
    }
    const std::string text = Zentak::Util::ReplaceAll(
        Zentak::Translater::GetText(TranslaterText::NotEnoughSpace), "__REQUIRED_SPACE__",
        std::to_string(Zentak::MissingSpaceMegabytes(required, available)));
    [diskSpaceMessage autorelease];
    diskSpaceMessage = [ToNSString(text) retain];
}

// ---- Performed on the main thread ------------------------------------------

- (void)UpdatePage:(id)sender
{
    (void)sender;
    if (currentPage == kProgressPage || currentPage == kWaitPage) {
        [viewController setImage:SplashImageInstall
                       imageData:[images objectForKey:ImageKey(currentPage)]];
    }
}

- (void)UpdateInstallImage:(id)sender
{
    [self UpdatePage:sender];
}

- (void)UpdateMainImage:(id)sender
{
    (void)sender;
    // The start page has no picture of its own.
    [viewController setImage:SplashImageMain imageData:[images objectForKey:ImageKey(kMainPage)]];
}

- (void)UpdateProgress:(id)sender
{
    (void)sender;
    [viewController setProgress:downloadProgress];
}

- (void)updateTitle
{
    [self setTitle:Text(TranslaterText::WindowTitle)];
}

- (void)UpdateInstallerInfo:(id)sender
{
    (void)sender;
    [self updateTitle];
    [viewController updateInstallerInfo:self];
}

- (void)UpdateLocale:(id)sender
{
    (void)sender;
    [self updateTitle];
    [viewController updateLocale:self];
}

- (void)UpdateCloseButtonState:(id)sender
{
    (void)sender;
    NSButton* button = [self standardWindowButton:NSWindowCloseButton];
    if (closeButtonState == Zentak::ISplash::Enabled) {
        [button setEnabled:YES];
    } else if (closeButtonState == Zentak::ISplash::Disabled) {
        [button setEnabled:NO];
    }
}

- (void)postWakeUpEvent
{
    NSEvent* event = [NSEvent otherEventWithType:NSEventTypeApplicationDefined
                                        location:NSMakePoint(0, 0)
                                   modifierFlags:0
                                       timestamp:0
                                    windowNumber:0
                                         context:nil
                                         subtype:0
                                           data1:0
                                           data2:0];
    [NSApp postEvent:event atStart:YES];
}

- (void)Close
{
    closing = YES;
    if ([NSApp modalWindow] != nil) {
        // A dialog runs its own loop (GNUstep shows sheets that way), and
        // stop: would end that loop only. End the dialog, then stop the
        // application's loop once it is back in charge.
        [NSApp stopModal];
        [self performSelector:@selector(Close)
                   withObject:nil
                   afterDelay:0
                      inModes:[NSArray arrayWithObject:NSDefaultRunLoopMode]];
        [self postWakeUpEvent];
        return;
    }
#ifdef GNUSTEP
    // GNUstep's language list runs a loop of its own that ends only at a
    // click outside it; stop: would wait for the person. A click on the
    // window's bottom corner, where no control is, ends it first.
    for (NSEventType type : {NSLeftMouseUp, NSLeftMouseDown}) {
        [NSApp postEvent:[NSEvent mouseEventWithType:type
                                            location:NSMakePoint(1, 1)
                                       modifierFlags:0
                                           timestamp:0
                                        windowNumber:[self windowNumber]
                                             context:nil
                                         eventNumber:0
                                          clickCount:1
                                            pressure:0]
                 atStart:YES];
    }
#endif
    [NSApp stop:nil];
    [self postWakeUpEvent];
}

// ---- Dialogs ---------------------------------------------------------------

// Dialogs start on a later turn of the loop: GNUstep runs a sheet as a modal
// loop of its own, which must not hold the logic thread that asked for it.
// Not while a control tracks the mouse (a dialog opened by a button's action
// would nest inside that button's tracking), but over another dialog.
- (void)beginDialog:(NSAlert*)alert didEnd:(SEL)selector
{
    SplashDialogRequest* request =
        [[[SplashDialogRequest alloc] initWithAlert:alert didEnd:selector] autorelease];
    [self performSelector:@selector(presentDialog:)
               withObject:request
               afterDelay:0
                  inModes:[NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                                    nil]];
}

- (void)presentDialog:(SplashDialogRequest*)request
{
    // A request scheduled in two modes can fire again inside the dialog's
    // own loop (GNUstep); it is shown once.
    if (![request take] || closing) {
        return;
    }
    [[request alert] beginSheetModalForWindow:self
                                modalDelegate:self
                               didEndSelector:[request didEnd]
                                  contextInfo:NULL];
}

- (void)ShowNoConnectionError
{
    if (noConnectionDialogVisible.exchange(true)) {
        return;
    }
    [noConnectionDialog autorelease];
    noConnectionDialog =
        MakeAlert(NSAlertStyleWarning, Text(TranslaterText::NoConnection),
                  [NSArray arrayWithObjects:Text(TranslaterText::OkButton), nil]);
    [self beginDialog:noConnectionDialog
               didEnd:@selector(noConnectionDialogDidEnd:returnCode:contextInfo:)];
}

- (void)noConnectionDialogDidEnd:(NSAlert*)alert
                      returnCode:(NSInteger)code
                     contextInfo:(void*)context
{
    (void)context;
    [[alert window] orderOut:nil];
    if (code == kFirstButton && observer) {
        observer->OnExitButtonPressed();
    }
}

- (void)ShowRetryDialog
{
    if (retryDialogVisible.exchange(true)) {
        return;
    }
    SetAlertMessage(retryDialog, retryMessage ? retryMessage : @"");
    [self beginDialog:retryDialog didEnd:@selector(retryDialogDidEnd:returnCode:contextInfo:)];
}

- (void)retryDialogDidEnd:(NSAlert*)alert returnCode:(NSInteger)code contextInfo:(void*)context
{
    (void)context;
    [[alert window] orderOut:nil];
    if (observer) {
        if (code == kFirstButton) {
            observer->OnRetryPressed();
        } else if (code == kSecondButton) {
            observer->OnSkipPressed();
        } else if (code == kThirdButton) {
            observer->OnCancelPressed();
        }
    }
    retryDialogVisible = false;
}

- (void)ShowInstallerAlreadyRunningDialog
{
    [alreadyRunningDialog autorelease];
    alreadyRunningDialog = MakeAlert(NSAlertStyleInformational, @"Installer Already Running Dialog",
                                     [NSArray arrayWithObjects:@"Ok", nil]);
    [self beginDialog:alreadyRunningDialog
               didEnd:@selector(alreadyRunningDialogDidEnd:returnCode:contextInfo:)];
}

- (void)alreadyRunningDialogDidEnd:(NSAlert*)alert
                        returnCode:(NSInteger)code
                       contextInfo:(void*)context
{
    (void)code;
    (void)context;
    [[alert window] orderOut:nil];
}

- (void)ShowNotEnoughDiskSpaceDialog
{
    if (notEnoughSpaceDialogVisible.exchange(true)) {
        return;
    }
    SetAlertMessage(notEnoughDiskSpaceDialog, diskSpaceMessage ? diskSpaceMessage : @"");
    [self beginDialog:notEnoughDiskSpaceDialog
               didEnd:@selector(diskSpaceDialogDidEnd:returnCode:contextInfo:)];
}

- (void)diskSpaceDialogDidEnd:(NSAlert*)alert returnCode:(NSInteger)code contextInfo:(void*)context
{
    (void)context;
    [[alert window] orderOut:nil];
    if (observer) {
        if (code == kFirstButton) {
            observer->OnExitButtonPressed();
        } else if (code == kSecondButton) {
            observer->OnRetryPressed();
        }
    }
    notEnoughSpaceDialogVisible = false;
}

// ---- Closing ---------------------------------------------------------------

- (BOOL)windowShouldClose:(id)sender
{
    (void)sender;
    if (!observer) {
        return YES;
    }
    if (!closeConfirmationVisible) {
        closeConfirmationVisible = YES;
        [closeConfirmationDialog autorelease];
        closeConfirmationDialog =
            MakeAlert(NSAlertStyleInformational, Text(TranslaterText::CancelInstallationQuestion),
                      [NSArray arrayWithObjects:Text(TranslaterText::ContinueButton),
                                                Text(TranslaterText::ConfirmYesButton), nil]);
        [self beginDialog:closeConfirmationDialog
                   didEnd:@selector(closeConfirmationDidEnd:returnCode:contextInfo:)];
    }
    return NO;
}

- (void)requestQuit
{
    if (closeButtonState == Zentak::ISplash::Disabled || closing) {
        return;
    }
    [self windowShouldClose:self];
}

- (void)endRun
{
    if (closing || !observer) {
        return;
    }
    observer->OnExitButtonPressed();
}

- (void)closeConfirmationDidEnd:(NSAlert*)alert
                     returnCode:(NSInteger)code
                    contextInfo:(void*)context
{
    (void)context;
    [[alert window] orderOut:nil];
    closeConfirmationVisible = NO;
    if (code == kSecondButton && observer) {
        observer->OnExitButtonPressed();
    }
}

// ---- Page actions ----------------------------------------------------------

- (void)OnStartButtonPressed:(id)sender
{
    (void)sender;
    [viewController setPage:SplashTabInstall];
    if (observer) {
        observer->OnStartButtonPressed();
    }
}

- (void)OnEulaShown:(id)sender
{
    (void)sender;
    [viewController setPage:SplashTabLicence];
    if (observer) {
        observer->OnEulaShown();
    }
}

- (void)OnEulaHidden:(id)sender
{
    (void)sender;
    [viewController setPage:SplashTabStart];
    if (observer) {
        observer->OnEulaHidden();
    }
}

- (void)OnConsentCheckboxStateChanged:(id)sender
{
    (void)sender;
    if (observer) {
        observer->OnConsentCheckboxStateChanged([viewController consentCheckboxState]);
    }
}

@end
