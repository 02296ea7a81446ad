#pragma once

// The window is written with today's Cocoa names. GNUstep's AppKit still
// spells some of them the old way; this header maps those, and nothing else,
// so that one set of sources builds on both.

#import <AppKit/AppKit.h>

#ifdef GNUSTEP
#define NSBezelStyleRounded NSRoundedBezelStyle
#define NSButtonTypeSwitch NSSwitchButton
#define NSProgressIndicatorStyleBar NSProgressIndicatorBarStyle
#define NSProgressIndicatorStyleSpinning NSProgressIndicatorSpinningStyle
#define NSAlertStyleWarning NSWarningAlertStyle
#define NSAlertStyleInformational NSInformationalAlertStyle
#define NSEventTypeApplicationDefined NSApplicationDefined
#define NSTabViewTypeNoTabsNoBorder NSNoTabsNoBorder
#endif
