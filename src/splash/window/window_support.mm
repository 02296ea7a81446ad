#import "splash/window/window_support.h"

#include <glog/logging.h>

#include "utils/platform/system_info.h"

namespace Zentak::Window {

NSString* ToNSString(const std::string& text)
{
    NSString* result = [[[NSString alloc] initWithBytes:text.data()
                                                 length:text.size()
                                               encoding:NSUTF8StringEncoding] autorelease];
    return result ? result : @"";
}

NSString* Text(TranslaterText key)
{
    return ToNSString(Translater::GetText(key));
}

NSArray* HandOverModes()
{
    return [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                     NSEventTrackingRunLoopMode, nil];
}

void SendAction(SEL action, id sender)
{
    [NSApp sendAction:action to:nil from:sender];
}

NSBundle* ApplicationBundle()
{
#ifdef GNUSTEP
    // GNUstep's main bundle does not know the Contents/MacOS layout; the
    // Contents folder itself reads as a bundle with Info.plist and Resources.
    const std::string contents = Util::GetResourcesPath().parent_path().string();
    NSBundle* bundle = [NSBundle bundleWithPath:ToNSString(contents)];
    return bundle ? bundle : [NSBundle mainBundle];
#else
    return [NSBundle mainBundle];
#endif
}

NSImage* ApplicationIcon()
{
    NSBundle* bundle = ApplicationBundle();
    id entry = [[bundle infoDictionary] objectForKey:@"CFBundleIconFile"];
    if (![entry isKindOfClass:[NSString class]]) {
        LOG(INFO) << "No CFBundleIconFile in the bundle's Info.plist";
        return nil;
    }
    NSArray* parts = [(NSString*)entry componentsSeparatedByString:@"."];
    if ([parts count] != 2) {
        LOG(INFO) << "CFBundleIconFile \"" << [(NSString*)entry UTF8String]
                  << "\" is not a name and a type";
        return nil;
    }
    NSString* path = [bundle pathForResource:[parts objectAtIndex:0] ofType:[parts objectAtIndex:1]];
    if (!path) {
        LOG(INFO) << "Icon resource \"" << [(NSString*)entry UTF8String] << "\" not found";
        return nil;
    }
    NSImage* icon = [[[NSImage alloc] initWithContentsOfFile:path] autorelease];
    if (!icon) {
        LOG(INFO) << "Icon \"" << [path UTF8String] << "\" does not load";
    }
    return icon;
}

} // namespace Zentak::Window
