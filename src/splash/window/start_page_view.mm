#import "splash/window/start_page_view.h"

#include <any>
#include <cfloat>

#include <boost/filesystem/path.hpp>

#include "localization/translater.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "utils/string_utils.h"
#import "splash/window/window_support.h"

using Zentak::Settings;
using Zentak::TranslaterText;
using Zentak::Window::Text;
using Zentak::Window::ToNSString;

namespace {

const NSRect kPageFrame = {{0, 0}, {640, 440}};
// The column the product name and version are centred in.
const CGFloat kColumnX = 241;
const CGFloat kColumnWidth = 222;
const CGFloat kConsentTextX = 282;
const CGFloat kConsentBoxX = 260;
const CGFloat kConsentY = 38;
// The width the consent text and box are centred for.
const CGFloat kConsentCentringWidth = 98;

NSTextField* MakeLabel(NSRect frame, NSFont* font)
{
    NSTextField* label = [[[NSTextField alloc] initWithFrame:frame] autorelease];
    [label setEditable:NO];
    [label setSelectable:NO];
    [label setBezeled:NO];
    [label setBordered:NO];
    [label setDrawsBackground:NO];
    [label setFont:font];
    return label;
}

} // namespace

@interface StartPageView ()
- (void)updateEulaPosition;
@end

@implementation StartPageView

- (id)initWithFrame:(NSRect)frame controller:(StartPageViewController*)controller
{
    self = [super initWithFrame:frame];
    if (!self) {
        return nil;
    }
    backgroundView = [[NSView alloc] initWithFrame:[self bounds]];
    [backgroundView setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    [self addSubview:backgroundView];

    // Product name, centred in its column once its width is known.
    installerName = [MakeLabel(NSMakeRect(kColumnX, 329, kColumnWidth, 24),
                               [NSFont boldSystemFontOfSize:18]) retain];
    [installerName setStringValue:@"Zentak Reel Maker"];
    [installerName sizeToFit];
    NSRect nameFrame = [installerName frame];
    nameFrame.size.height = 24;
    nameFrame.origin.x = kColumnX + (kColumnWidth - nameFrame.size.width) / 2;
    [installerName setFrame:nameFrame];
    [self addSubview:installerName];

    installerVersion = [MakeLabel(NSMakeRect(nameFrame.origin.x, 307, kColumnWidth, 18),
                                  [NSFont systemFontOfSize:12]) retain];
    if (Settings::Has(Settings::ID::ProductVersion)) {
        [installerVersion
            setStringValue:ToNSString(Settings::GetString(Settings::ID::ProductVersion))];
    }
    [self addSubview:installerVersion];

    NSImageView* icon =
        [[[NSImageView alloc] initWithFrame:NSMakeRect(nameFrame.origin.x - 64, 306, 48, 48)]
            autorelease];
    [icon setImageScaling:NSImageScaleAxesIndependently];
    [icon setImage:Zentak::Window::ApplicationIcon()];
    [self addSubview:icon];

    localeLabel = [MakeLabel(NSMakeRect(238, 240, 164, 18), [NSFont systemFontOfSize:12]) retain];
    [localeLabel setStringValue:Text(TranslaterText::SelectLanguage)];
    [self addSubview:localeLabel];

    localeSelector = [[NSComboBox alloc] initWithFrame:NSMakeRect(238, 198, 164, 34)];
    [localeSelector setSelectable:NO];
    [localeSelector setEditable:NO];
    localesDictionary = [[NSMutableDictionary alloc] init];
    for (const std::string& locale : Zentak::Translater::GetLocales()) {
        NSString* name = ToNSString(
            Zentak::Translater::GetLocalizedText(TranslaterText::LanguageName, locale));
        [localeSelector addItemWithObjectValue:name];
        [localesDictionary setObject:ToNSString(locale) forKey:name];
    }
    const std::string defaultLocale = Zentak::Translater::GetDefaultLocale();
    Settings::Set(Settings::ID::Locale, defaultLocale);
    NSString* defaultName = ToNSString(
        Zentak::Translater::GetLocalizedText(TranslaterText::LanguageName, defaultLocale));
    const NSInteger defaultIndex = [localeSelector indexOfItemWithObjectValue:defaultName];
    if (defaultIndex != NSNotFound) {
        [localeSelector selectItemAtIndex:defaultIndex];
        [localeSelector setStringValue:defaultName];
    }
    [localeSelector setDelegate:(id)self];
    [self addSubview:localeSelector];

    installButton = [[NSButton alloc] initWithFrame:NSMakeRect(270, 132, 100, 34)];
    [installButton setBezelStyle:NSBezelStyleRounded];
    [installButton setEnabled:NO];
    [installButton setTitle:Text(TranslaterText::InstallButton)];
    [installButton setTarget:controller];
    [installButton setAction:@selector(startButtonClicked:)];
    [self addSubview:installButton];

    eulaAcceptButton =
        [[NSButton alloc] initWithFrame:NSMakeRect(kConsentBoxX, kConsentY, 16, 16)];
    [eulaAcceptButton setButtonType:NSButtonTypeSwitch];
    [eulaAcceptButton setTitle:@""];
    // A box without a title: no room is laid out for one in its 16 points.
    [eulaAcceptButton setImagePosition:NSImageOnly];
    [eulaAcceptButton setState:NSControlStateValueOff];
    [eulaAcceptButton setTarget:controller];
    [eulaAcceptButton setAction:@selector(acceptEULAChanged:)];
    [self addSubview:eulaAcceptButton];

    eulaAcceptLabel =
        [[NSTextView alloc] initWithFrame:NSMakeRect(kConsentTextX, kConsentY, 358, 16)];
    [eulaAcceptLabel setEditable:NO];
    [eulaAcceptLabel setDrawsBackground:NO];
    [eulaAcceptLabel setHorizontallyResizable:YES];
    [eulaAcceptLabel setVerticallyResizable:NO];
    [eulaAcceptLabel setTextContainerInset:NSMakeSize(0, 0)];
    // One line that widens with its text: measured, then placed.
    [[eulaAcceptLabel textContainer] setWidthTracksTextView:NO];
    [[eulaAcceptLabel textContainer] setContainerSize:NSMakeSize(FLT_MAX, FLT_MAX)];
    [[eulaAcceptLabel textContainer] setLineFragmentPadding:0];
#ifndef GNUSTEP
    [[eulaAcceptLabel textContainer] setMaximumNumberOfLines:1];
#endif
    [eulaAcceptLabel setDelegate:(id)self];
    [self addSubview:eulaAcceptLabel];
    [self updateEulaPosition];

    NSRect spinnerFrame = NSMakeRect(180, 200, 280, 30);
#ifdef GNUSTEP
    // GNUstep stretches the spinner's picture over the whole frame; a square
    // in the middle of it keeps it round.
    spinnerFrame = NSInsetRect(spinnerFrame, (spinnerFrame.size.width - spinnerFrame.size.height) / 2, 0);
#endif
    loadingIndicator = [[NSProgressIndicator alloc] initWithFrame:spinnerFrame];
    [loadingIndicator setStyle:NSProgressIndicatorStyleSpinning];
    [loadingIndicator setIndeterminate:YES];
    [loadingIndicator setDisplayedWhenStopped:NO];
    [self addSubview:loadingIndicator];
    [loadingIndicator startAnimation:nil];

    // Until the installer info is known, only the product and the spinner.
    for (NSView* view in [NSArray arrayWithObjects:localeLabel, localeSelector, installButton,
                                                   eulaAcceptLabel, eulaAcceptButton, nil]) {
        [view setHidden:YES];
    }

    Settings::Set(Settings::ID::InstallDir, Zentak::Util::GetApplicationsFolder());
    return self;
}

- (void)dealloc
{
    [backgroundView release];
    [loadingIndicator release];
    [installerName release];
    [installerVersion release];
    [localeLabel release];
    [localeSelector setDelegate:nil];
    [localeSelector release];
    [localesDictionary release];
    [installButton release];
    [eulaAcceptButton release];
    [eulaAcceptLabel setDelegate:nil];
    [eulaAcceptLabel release];
    [super dealloc];
}

- (void)updateInstallerInfo
{
    [loadingIndicator stopAnimation:nil];
    [loadingIndicator setHidden:YES];
    [self updateInstallButtonState];
    [self updateLocale];
    for (NSView* view in [NSArray arrayWithObjects:localeLabel, localeSelector, installButton,
                                                   eulaAcceptLabel, eulaAcceptButton, nil]) {
        [view setHidden:NO];
    }
}

- (void)updateLocale
{
    const std::string version = Zentak::Util::ReplaceAll(
        Zentak::Translater::GetText(TranslaterText::VersionLabel), "__PRODUCT_VERSION__",
        Settings::GetString(Settings::ID::ProductVersion));
    [installerVersion setStringValue:ToNSString(version)];
    [localeLabel setStringValue:Text(TranslaterText::SelectLanguage)];
    [installButton setTitle:Text(TranslaterText::InstallButton)];
    [self updateEulaPosition];
}

- (void)updateEulaPosition
{
    NSFont* font = [NSFont systemFontOfSize:12];
    NSString* text = Text(TranslaterText::AcceptEula);
    NSDictionary* attributes = [NSDictionary
        dictionaryWithObjectsAndKeys:font, NSFontAttributeName, @"eula", NSLinkAttributeName, nil];
    NSAttributedString* content =
        [[[NSAttributedString alloc] initWithString:text attributes:attributes] autorelease];
    [[eulaAcceptLabel textStorage] setAttributedString:content];

    NSLayoutManager* layout = [eulaAcceptLabel layoutManager];
    [layout ensureLayoutForTextContainer:[eulaAcceptLabel textContainer]];
    CGFloat width = [layout usedRectForTextContainer:[eulaAcceptLabel textContainer]].size.width;
    if (width <= 0) {
        width = [content size].width;
    }
    const CGFloat shift = (kConsentCentringWidth - width) / 2;
    NSRect textFrame = [eulaAcceptLabel frame];
    textFrame.origin = NSMakePoint(kConsentTextX + shift, kConsentY);
    textFrame.size.width = width + 2;
    [eulaAcceptLabel setFrame:textFrame];
    [eulaAcceptButton setFrameOrigin:NSMakePoint(kConsentBoxX + shift, kConsentY)];
    [self setNeedsDisplay:YES];
}

- (void)updateInstallButtonState
{
    [installButton setEnabled:[self consentCheckboxState]];
}

- (BOOL)consentCheckboxState
{
    return [eulaAcceptButton state] == NSControlStateValueOn;
}

- (BOOL)textView:(NSTextView*)textView clickedOnLink:(id)link atIndex:(NSUInteger)charIndex
{
    (void)link;
    (void)charIndex;
    if (textView == eulaAcceptLabel) {
        Zentak::Window::SendAction(@selector(OnEulaShown:), self);
    }
    return YES;
}

- (void)comboBoxSelectionDidChange:(NSNotification*)notification
{
    if ([notification object] != localeSelector) {
        return;
    }
    const NSInteger index = [localeSelector indexOfSelectedItem];
    if (index < 0 || index >= [localeSelector numberOfItems]) {
        return;
    }
    NSString* locale = [localesDictionary objectForKey:[localeSelector itemObjectValueAtIndex:index]];
    // GNUstep reports the current item again when the list opens; only a
    // different language is a choice.
    if (locale && Settings::CurrentLocale() != [locale UTF8String]) {
        Settings::Set(Settings::ID::Locale, std::string([locale UTF8String]));
    }
}

@end

@implementation StartPageViewController

- (void)loadView
{
    StartPageView* view = [[StartPageView alloc] initWithFrame:kPageFrame controller:self];
    [self setView:view];
    [view release];
}

- (StartPageView*)startPage
{
    return (StartPageView*)[self view];
}

- (void)updateInstallerInfo:(id)sender
{
    (void)sender;
    [[self startPage] updateInstallerInfo];
}

- (void)updateLocale:(id)sender
{
    (void)sender;
    [[self startPage] updateLocale];
}

- (BOOL)consentCheckboxState
{
    return [[self startPage] consentCheckboxState];
}

- (void)startButtonClicked:(id)sender
{
    Zentak::Window::SendAction(@selector(OnStartButtonPressed:), sender);
}

- (void)acceptEULAChanged:(id)sender
{
    [[self startPage] updateInstallButtonState];
    Zentak::Window::SendAction(@selector(OnConsentCheckboxStateChanged:), sender);
}

@end
