#include "splash/window/mac_splash.h"

#include <any>
#include <csignal>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>

#include <glog/logging.h>
#ifdef GNUSTEP
#include <fontconfig/fontconfig.h>
#else
// The keywords of the quit event and of its reply.
#import <CoreServices/CoreServices.h>
#endif

#include "external/crash_handler.h"
#include "utils/settings.h"
#import "splash/window/splash_impl.h"
#import "splash/window/view_controller.h"
#import "splash/window/window_support.h"

namespace Zentak {
namespace {

// What a caller waiting for the main thread waits on. Shared with the
// hand-over objects, which may outlive the bridge in the run loop's queue.
struct HandOverState {
    std::mutex mutex;
    std::condition_variable changed;
    bool loopEnded = false;
};

using SharedState = std::shared_ptr<HandOverState>;

} // namespace
} // namespace Zentak

// One selector handed to the main thread: performs it on the window, with the
// window as argument, then releases the caller.
@interface SplashHandOver : NSObject {
    SplashImpl* window;
    SEL selector;
    Zentak::SharedState* state;
    BOOL started;
    BOOL done;
}
- (id)initWithWindow:(SplashImpl*)target
            selector:(SEL)action
               state:(const Zentak::SharedState&)shared;
- (void)run:(id)unused;
- (BOOL)isDone;
@end

@implementation SplashHandOver

- (id)initWithWindow:(SplashImpl*)target
            selector:(SEL)action
               state:(const Zentak::SharedState&)shared
{
    self = [super init];
    if (self) {
        window = [target retain];
        selector = action;
        state = new Zentak::SharedState(shared);
    }
    return self;
}

- (void)dealloc
{
    [window release];
    delete state;
    [super dealloc];
}

- (void)run:(id)unused
{
    (void)unused;
    // Scheduled in several modes, the same hand-over can come round again
    // in a loop nested inside it; it runs once.
    if (started) {
        return;
    }
    started = YES;
    // However the selector ends, the caller must not wait forever.
    struct Release {
        Zentak::HandOverState& shared;
        BOOL& done;
        ~Release()
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            done = YES;
            shared.changed.notify_all();
        }
    } release{**state, done};
    [window performSelector:selector withObject:window];
}

- (BOOL)isDone
{
    return done;
}

@end

// The application's answers to the system. Quit (from the menu, the Dock,
// a script) is the close button by other means: it asks the same question,
// and "Yes" ends the run through the logic, which closes the window; the
// event loop then returns and the program takes its services down in order.
// Letting the toolkit terminate would exit from inside the event loop, with
// the logic thread still running and nothing taken down, so the toolkit's
// own termination is always cancelled.
//
// When the system ends the session (log out, restart, shut down) the person
// has already decided: the run ends at once, without the question, as on a
// termination signal. The system's quit event is held rather than answered
// with the cancellation, which would call off the log out, and is answered
// once the run has ended and its installers have been stopped.
@interface SplashApplicationDelegate : NSObject <NSApplicationDelegate> {
    SplashImpl* window; // not retained: the bridge owns it and clears this first
#ifndef GNUSTEP
    NSMutableArray* heldQuitEvents; // NSValue pointers to suspension ids
#endif
}
- (id)initWithWindow:(SplashImpl*)target;
- (void)forgetWindow;
// Tells the senders of the held quit events that the program quits.
- (void)answerHeldQuitEvents;
@end

@implementation SplashApplicationDelegate

- (id)initWithWindow:(SplashImpl*)target
{
    self = [super init];
    if (self) {
        window = target;
#ifndef GNUSTEP
        heldQuitEvents = [[NSMutableArray alloc] init];
#endif
    }
    return self;
}

- (void)dealloc
{
    [self answerHeldQuitEvents];
#ifndef GNUSTEP
    [heldQuitEvents release];
#endif
    [super dealloc];
}

- (void)forgetWindow
{
    window = nil;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification
{
    (void)notification;
    // Started from a script or a terminal, the program would open behind
    // the window that started it. From macOS 14 a program only asks to be
    // activated and the system decides; the old request to take the focus
    // regardless has no effect there.
#if !defined(GNUSTEP) && defined(__MAC_OS_X_VERSION_MAX_ALLOWED) && \
    __MAC_OS_X_VERSION_MAX_ALLOWED >= 140000
    if (@available(macOS 14.0, *)) {
        [NSApp activate];
        return;
    }
#endif
    [NSApp activateIgnoringOtherApps:YES];
}

// Whether the quit being handled comes from the system ending the session.
// Its quit event then carries the reason (log out, restart, shut down),
// which a quit from the person or a script does not. Such an event is held.
- (BOOL)holdQuitOfSessionEnd
{
#ifdef GNUSTEP
#ifdef ZENTAK_TEST_SEAMS
    // No system sends GNUstep such an event; tests say it came.
    if (const char* value = std::getenv("ZENTAK_TEST_QUIT_ENDS_SESSION")) {
        return *value == '1';
    }
#endif
    return NO;
#else
    NSAppleEventManager* manager = [NSAppleEventManager sharedAppleEventManager];
    NSAppleEventDescriptor* event = [manager currentAppleEvent];
    if (event == nil || [event eventClass] != kCoreEventClass ||
        [event eventID] != kAEQuitApplication) {
        return NO;
    }
    NSAppleEventDescriptor* reason = [event attributeDescriptorForKeyword:kAEQuitReason];
    if (reason == nil) {
        reason = [event paramDescriptorForKeyword:kAEQuitReason];
    }
    if (reason == nil) {
        return NO;
    }
    NSAppleEventManagerSuspensionID held = [manager suspendCurrentAppleEvent];
    if (held != NULL) {
        [heldQuitEvents addObject:[NSValue valueWithPointer:held]];
    }
    LOG(INFO) << "The system ends the session; the run ends";
    return YES;
#endif
}

- (void)answerHeldQuitEvents
{
#ifndef GNUSTEP
    NSAppleEventManager* manager = [NSAppleEventManager sharedAppleEventManager];
    for (NSValue* value in heldQuitEvents) {
        const auto held = static_cast<NSAppleEventManagerSuspensionID>([value pointerValue]);
        // The toolkit wrote its cancellation into the reply when the quit
        // was cancelled; the program does quit.
        NSAppleEventDescriptor* reply = [manager replyAppleEventForSuspensionID:held];
        if (reply != nil && [reply descriptorType] != typeNull) {
            [reply removeParamDescriptorWithKeyword:keyErrorNumber];
            [reply removeParamDescriptorWithKeyword:keyErrorString];
        }
        [manager resumeWithSuspensionID:held];
    }
    [heldQuitEvents removeAllObjects];
#endif
}

- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender
{
    (void)sender;
    if ([self holdQuitOfSessionEnd]) {
        [window endRun];
    } else {
        [window requestQuit];
    }
    return NSTerminateCancel;
}

@end

// Nothing: the thread it runs on tells Cocoa that the program has threads.
@interface SplashThreadMarker : NSObject
+ (void)nothing:(id)unused;
@end

@implementation SplashThreadMarker
+ (void)nothing:(id)unused
{
    (void)unused;
}
@end

namespace Zentak {

class MacSplash::Impl : public ISettingsObserver {
public:
    explicit Impl(ISplashEventObserver& observer);
    ~Impl() override;

    void Run();
    // Runs `selector` of the window on the main thread and waits for it.
    void Perform(SEL selector);
    // The same without waiting.
    void Post(SEL selector);
    SplashImpl* Window() const { return m_window; }
    ISplashEventObserver& Observer() const { return m_observer; }

    void OnSettingsChanged(Settings::ID id, const std::any& value) override;

private:
    void EndLoop();

    SplashImpl* m_window = nil;
    SplashApplicationDelegate* m_delegate = nil;
    ISplashEventObserver& m_observer;
    SharedState m_state = std::make_shared<HandOverState>();
};

namespace {

// Threads that the toolkit did not start (the logic's std::thread) must be
// made known to it before they use Objective-C objects.
void RegisterForeignThread()
{
#ifdef GNUSTEP
    GSRegisterCurrentThread();
#endif
}

#ifdef GNUSTEP
// GNUstep draws a character its font lacks as "?" and does not look for it
// in another font, so the language list (every language's name in its own
// script) and the Chinese, Japanese and Korean texts need one font that has
// them all. The first one installed becomes the toolkit's regular font; the
// bold one, used for the product's name only, stays as it is. A font chosen
// in the user's own defaults still wins. Chosen before the application
// object exists: the toolkit keeps the fonts it made first. The toolkit
// finds fonts through fontconfig, so fontconfig says what is installed.
bool FontInstalled(const char* postscriptName)
{
    FcPattern* pattern = FcPatternCreate();
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, static_cast<char*>(nullptr));
    FcFontSet* fonts = nullptr;
    if (pattern && objects &&
        FcPatternAddString(pattern, FC_POSTSCRIPT_NAME,
                           reinterpret_cast<const FcChar8*>(postscriptName))) {
        fonts = FcFontList(nullptr, pattern, objects);
    }
    const bool found = fonts && fonts->nfont > 0;
    if (fonts) {
        FcFontSetDestroy(fonts);
    }
    if (objects) {
        FcObjectSetDestroy(objects);
    }
    if (pattern) {
        FcPatternDestroy(pattern);
    }
    return found;
}

void ChooseFontForEveryScript()
{
    for (const char* candidate : {"WenQuanYiMicroHei", "NotoSansCJKsc-Regular", "DroidSansFallbackFull"}) {
        if (!FontInstalled(candidate)) {
            continue;
        }
        NSString* name = [NSString stringWithUTF8String:candidate];
        NSMutableDictionary* fonts = [NSMutableDictionary dictionary];
        for (NSString* key in [NSArray arrayWithObjects:@"NSFont", @"NSUserFont", @"NSLabelFont",
                                                        @"NSMenuFont", @"NSMessageFont",
                                                        @"NSControlContentFont", @"NSTitleBarFont",
                                                        @"NSToolTipsFont", nil]) {
            [fonts setObject:name forKey:key];
        }
        [[NSUserDefaults standardUserDefaults] registerDefaults:fonts];
        LOG(INFO) << "Window font: " << [name UTF8String];
        return;
    }
    LOG(WARNING) << "No font for Chinese, Japanese and Korean texts is installed; they show as ?";
}
#endif

// The main menu: Quit, with its usual key. Cocoa shows the first item's
// menu under the application's name; GNUstep shows the menu itself as a
// small panel, so there Quit sits in it directly.
void InstallMainMenu()
{
    NSString* quitTitle = @"Quit";
    NSMenu* mainMenu = [[[NSMenu alloc] initWithTitle:@"Installer"] autorelease];
#ifdef GNUSTEP
    [mainMenu addItemWithTitle:quitTitle action:@selector(terminate:) keyEquivalent:@"q"];
#else
    NSString* name = [[NSProcessInfo processInfo] processName];
    NSMenuItem* applicationItem = [[[NSMenuItem alloc] initWithTitle:name
                                                              action:NULL
                                                       keyEquivalent:@""] autorelease];
    NSMenu* applicationMenu = [[[NSMenu alloc] initWithTitle:name] autorelease];
    [applicationMenu addItemWithTitle:[NSString stringWithFormat:@"%@ %@", quitTitle, name]
                               action:@selector(terminate:)
                        keyEquivalent:@"q"];
    [applicationItem setSubmenu:applicationMenu];
    [mainMenu addItem:applicationItem];
#endif
    [NSApp setMainMenu:mainMenu];
}

} // namespace

MacSplash::Impl::Impl(ISplashEventObserver& observer) : m_observer(observer)
{
    @autoreleasepool {
#ifdef GNUSTEP
        // Read by the toolkit when the application object is made: no icon
        // window, and title bars drawn by us where no window manager runs.
        [[NSUserDefaults standardUserDefaults]
            registerDefaults:[NSDictionary dictionaryWithObjectsAndKeys:@"YES", @"GSSuppressAppIcon",
                                                                        @"NO",
                                                                        @"GSBackHandlesWindowDecorations",
                                                                        nil]];
        ChooseFontForEveryScript();
#endif
        [NSApplication sharedApplication];
#ifndef GNUSTEP
        // A plain executable (not started through the bundle, as in a test
        // or from a terminal) would otherwise get no Dock icon, no menu bar
        // and no key window.
        [NSApp setActivationPolicy:NSApplicationActivationPolicyRegular];
#endif
#ifdef GNUSTEP
        // Once GNUstep's task class has seen SIGCHLD it reaps every child of
        // the process (waitpid on any child) from its run loop, and the
        // process executor would never learn how an installer ended. The
        // class installs its handler when first used (it starts the
        // toolkit's notification daemon): use it now, then restore the
        // default disposition.
        [NSTask class];
        signal(SIGCHLD, SIG_DFL);
#endif
#ifndef GNUSTEP
        if (![NSThread isMultiThreaded]) {
            [NSThread detachNewThreadSelector:@selector(nothing:)
                                     toTarget:[SplashThreadMarker class]
                                   withObject:nil];
        }
#endif
        Settings::RegisterObserver(this);
        m_window = [[SplashImpl alloc] initWithObserver:&observer
                                            contentRect:NSMakeRect(0, 0, 640, 480)];
        [m_window setTitle:@"Installer"];
        [m_window center];
        ViewController* controller = [[[ViewController alloc] initWithNibName:nil
                                                                        bundle:nil] autorelease];
        [m_window setSplashViewController:controller];
#ifdef GNUSTEP
        // The window took the page's size; keep it centred.
        [m_window center];
#endif
        m_delegate = [[SplashApplicationDelegate alloc] initWithWindow:m_window];
        [NSApp setDelegate:m_delegate];
        InstallMainMenu();
    }
}

MacSplash::Impl::~Impl()
{
    Settings::UnregisterObserver(this);
    EndLoop();
    @autoreleasepool {
        // The application keeps its delegate unretained.
        [NSApp setDelegate:nil];
        // The run has ended and what it started has been stopped: a log
        // out that waited for this program goes on.
        [m_delegate answerHeldQuitEvents];
        [m_delegate forgetWindow];
        [m_delegate release];
        m_delegate = nil;
        [m_window clearObserver];
        [m_window orderOut:nil];
        [m_window release];
        m_window = nil;
    }
}

void MacSplash::Impl::EndLoop()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->loopEnded = true;
    m_state->changed.notify_all();
}

void MacSplash::Impl::Run()
{
    // Callers still waiting for the main thread are released however the
    // loop ends.
    struct LoopEnd {
        Impl& impl;
        ~LoopEnd() { impl.EndLoop(); }
    } loopEnd{*this};
    try {
        @autoreleasepool {
            [m_window makeKeyAndOrderFront:nil];
            [NSApp run];
        }
        return;
    } catch (const std::exception& error) {
        LOG(ERROR) << "Splash event loop failed: " << error.what();
        Core::TrackException(Core::TypeName(error), error.what());
    } catch (...) {
        LOG(ERROR) << "Splash event loop failed";
    }
    m_observer.OnExitButtonPressed();
    @autoreleasepool {
        [m_window Close];
    }
}

void MacSplash::Impl::Perform(SEL selector)
{
    RegisterForeignThread();
    @autoreleasepool {
        if ([NSThread isMainThread]) {
            [m_window performSelector:selector withObject:m_window];
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (m_state->loopEnded) {
                return;
            }
        }
        SplashHandOver* call = [[[SplashHandOver alloc] initWithWindow:m_window
                                                               selector:selector
                                                                  state:m_state] autorelease];
        [call performSelectorOnMainThread:@selector(run:)
                               withObject:nil
                            waitUntilDone:NO
                                    modes:Window::HandOverModes()];
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->changed.wait(lock, [&] { return [call isDone] || m_state->loopEnded; });
    }
}

void MacSplash::Impl::Post(SEL selector)
{
    RegisterForeignThread();
    @autoreleasepool {
        if ([NSThread isMainThread]) {
            [m_window performSelector:selector withObject:m_window];
            return;
        }
        [m_window performSelectorOnMainThread:selector
                                   withObject:m_window
                                waitUntilDone:NO
                                        modes:Window::HandOverModes()];
    }
}

void MacSplash::Impl::OnSettingsChanged(Settings::ID id, const std::any&)
{
    // The store calls observers while it holds its notification guard; a
    // wait for the main thread here could meet the main thread waiting for
    // that guard. So these are posted, not awaited; the pages read the
    // settings again when they run.
    switch (id) {
    case Settings::ID::Locale:
        Post(@selector(UpdateLocale:));
        break;
    case Settings::ID::ProductVersion:
    case Settings::ID::ProductDisplayName:
        Post(@selector(UpdateInstallerInfo:));
        break;
    default:
        break;
    }
}

// ---- MacSplash -------------------------------------------------------------

MacSplash::MacSplash(ISplashEventObserver& observer) : m_impl(std::make_unique<Impl>(observer))
{
}

MacSplash::~MacSplash() = default;

void MacSplash::RunSplash()
{
    m_impl->Run();
}

void MacSplash::SetPage(Page page)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetPage:page];
    }
    m_impl->Perform(@selector(UpdatePage:));
}

void MacSplash::UpdateProgress(int value)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetDownloadProgress:value];
    }
    m_impl->Perform(@selector(UpdateProgress:));
}

void MacSplash::UpdateInstallerInfo()
{
    m_impl->Perform(@selector(UpdateInstallerInfo:));
}

void MacSplash::Close()
{
    m_impl->Observer().OnExitButtonPressed();
    m_impl->Perform(@selector(Close));
}

void MacSplash::SetMainImage(std::string data)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetImage:ISplash::Start
                         imageData:[NSData dataWithBytes:data.data() length:data.size()]];
    }
    m_impl->Perform(@selector(UpdateMainImage:));
}

void MacSplash::SetProgressImage(Page page, std::string data)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetImage:page
                         imageData:[NSData dataWithBytes:data.data() length:data.size()]];
    }
    m_impl->Perform(@selector(UpdateInstallImage:));
}

void MacSplash::SetCloseButtonState(ButtonState state)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetCloseButtonState:state];
    }
    m_impl->Perform(@selector(UpdateCloseButtonState:));
}

void MacSplash::ShowNoConnectionError()
{
    m_impl->Perform(@selector(ShowNoConnectionError));
}

void MacSplash::ShowRetryDialog(const std::string& product, IProcessExecutorObserver::ProcessState)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetProduct:Window::ToNSString(product)];
    }
    m_impl->Perform(@selector(ShowRetryDialog));
}

void MacSplash::ShowPlatformRequiredDialog(const std::string&)
{
}

void MacSplash::ShowInstallerAlreadyRunningDialog(const std::string&)
{
    m_impl->Perform(@selector(ShowInstallerAlreadyRunningDialog));
}

void MacSplash::ShowNotEnoughDiskSpaceDialog(const std::string& disk, uint64_t required,
                                             uint64_t available)
{
    RegisterForeignThread();
    @autoreleasepool {
        [m_impl->Window() SetDisk:Window::ToNSString(disk)
                    spaceRequired:required
                      whileHaving:available];
    }
    m_impl->Perform(@selector(ShowNotEnoughDiskSpaceDialog));
}

void MacSplash::ShowProgramIsRunningDialog(const std::string&)
{
}

} // namespace Zentak

