#pragma once

// Small helpers shared by the window's classes. Objective-C++ only.

#include <string>

#import "splash/window/appkit_compat.h"

#include "localization/translater.h"

namespace Zentak::Window {

// The text as an NSString; an empty string for text that is not UTF-8.
NSString* ToNSString(const std::string& text);

// The text of `key` in the current locale (setting Locale).
NSString* Text(TranslaterText key);

// The run loop modes in which main-thread work handed over by the logic is
// performed: also while a dialog or a mouse drag holds the loop.
NSArray* HandOverModes();

// Sends a page action up the responder chain; nothing happens when the
// application finds no target for it.
void SendAction(SEL action, id sender);

// The application's bundle as the toolkit can read it: its Info.plist and
// Resources folder.
NSBundle* ApplicationBundle();

// The application icon named by CFBundleIconFile ("name.type"); nil when
// the entry is missing or malformed or the file does not load.
NSImage* ApplicationIcon();

} // namespace Zentak::Window
