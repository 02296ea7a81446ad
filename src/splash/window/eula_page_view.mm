#import "splash/window/eula_page_view.h"

#include <cfloat>

#ifndef GNUSTEP
#import <QuartzCore/QuartzCore.h>
#endif

#include "localization/translater.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#import "splash/window/window_support.h"

using Zentak::TranslaterText;
using Zentak::Window::Text;

namespace {

const NSRect kPageFrame = {{0, 0}, {640, 440}};
const CGFloat kMargin = 24;
const CGFloat kButtonWidth = 93;
const CGFloat kButtonHeight = 30;
const CGFloat kButtonGap = 8;

NSButton* MakeButton(NSRect frame, id target, SEL action)
{
    NSButton* button = [[NSButton alloc] initWithFrame:frame];
    [button setBezelStyle:NSBezelStyleRounded];
    [button setEnabled:YES];
    [button setTarget:target];
    [button setAction:action];
    return button;
}

} // namespace

@interface EULAPageView ()
- (void)updateTextColor;
@end

@implementation EULAPageView

- (id)initWithFrame:(NSRect)frame controller:(id)controller
{
    self = [super initWithFrame:frame];
    if (!self) {
        return nil;
    }
    const NSSize size = frame.size;
    backgroundView = [[NSView alloc] initWithFrame:[self bounds]];
    [backgroundView setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    [self addSubview:backgroundView];

    eulaScrollView = [[NSScrollView alloc]
        initWithFrame:NSMakeRect(kMargin, 80, size.width - 2 * kMargin, size.height - 80 - kMargin)];
    [eulaScrollView setBorderType:NSNoBorder];
    [eulaScrollView setHasVerticalScroller:YES];
    [eulaScrollView setHasHorizontalScroller:NO];
    [eulaScrollView setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
#ifndef GNUSTEP
    [eulaScrollView setWantsLayer:YES];
    [[eulaScrollView layer] setBorderWidth:1];
    [[eulaScrollView layer] setCornerRadius:12];
    [[eulaScrollView layer] setMasksToBounds:YES];
#endif

    const NSSize contentSize = [eulaScrollView contentSize];
    eula = [[NSTextView alloc]
        initWithFrame:NSMakeRect(0, 0, contentSize.width, contentSize.height)];
    [eula setDrawsBackground:NO];
    [eula setSelectable:NO];
    [eula setEditable:NO];
    [eula setMinSize:NSMakeSize(0, contentSize.height)];
    [eula setMaxSize:NSMakeSize(FLT_MAX, FLT_MAX)];
    [eula setVerticallyResizable:YES];
    [eula setHorizontallyResizable:NO];
    [eula setAlignment:NSTextAlignmentNatural];
    [eula setAutoresizingMask:NSViewWidthSizable];
    [[eula textContainer] setContainerSize:NSMakeSize(contentSize.width, FLT_MAX)];
    [[eula textContainer] setWidthTracksTextView:YES];
    [eulaScrollView setDocumentView:eula];
    [self addSubview:eulaScrollView];

    const CGFloat acceptX = (size.width - 2 * kButtonWidth - kButtonGap) / 2;
    acceptButton = MakeButton(NSMakeRect(acceptX, 32, kButtonWidth, kButtonHeight), controller,
                              @selector(acceptButtonClicked:));
    [self addSubview:acceptButton];
    stepBackButton =
        MakeButton(NSMakeRect(acceptX + kButtonWidth + kButtonGap, 32, kButtonWidth, kButtonHeight),
                   controller, @selector(stepBackButtonClicked:));
    [self addSubview:stepBackButton];

    [self updateLocale];
    return self;
}

- (void)dealloc
{
    [backgroundView release];
    [eulaScrollView release];
    [eula release];
    [acceptButton release];
    [stepBackButton release];
    [super dealloc];
}

- (void)updateLocale
{
    const std::string text = Zentak::Util::ReadEula(Zentak::Settings::CurrentLocale());
    [eula setString:Zentak::Window::ToNSString(text)];
    [eula setFont:[NSFont systemFontOfSize:11]];
    [eula scrollRangeToVisible:NSMakeRange(0, 0)];
    [self updateTextColor];
    [acceptButton setTitle:Text(TranslaterText::EulaOkButton)];
    [stepBackButton setTitle:Text(TranslaterText::BackButton)];
}

- (void)updateTextColor
{
    BOOL dark = NO;
#ifndef GNUSTEP
    if (@available(macOS 10.14, *)) {
        NSAppearanceName match = [[NSApp effectiveAppearance]
            bestMatchFromAppearancesWithNames:[NSArray arrayWithObjects:NSAppearanceNameAqua,
                                                                        NSAppearanceNameDarkAqua,
                                                                        nil]];
        dark = [match isEqualToString:NSAppearanceNameDarkAqua];
    }
#endif
    [eula setTextColor:dark ? [NSColor whiteColor] : [NSColor blackColor]];
}

#ifndef GNUSTEP
- (void)viewDidChangeEffectiveAppearance
{
    if (@available(macOS 10.14, *)) {
        [super viewDidChangeEffectiveAppearance];
    }
    [self updateTextColor];
}
#endif

@end

@implementation EULAPageViewController

- (void)loadView
{
    EULAPageView* view = [[EULAPageView alloc] initWithFrame:kPageFrame controller:self];
    [self setView:view];
    [view release];
}

- (void)updateLocale:(id)sender
{
    (void)sender;
    [(EULAPageView*)[self view] updateLocale];
}

- (void)acceptButtonClicked:(id)sender
{
    Zentak::Window::SendAction(@selector(OnStartButtonPressed:), sender);
}

- (void)stepBackButtonClicked:(id)sender
{
    Zentak::Window::SendAction(@selector(OnEulaHidden:), sender);
}

@end
