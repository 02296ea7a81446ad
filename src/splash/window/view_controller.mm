#import "splash/window/view_controller.h"

#import "splash/window/eula_page_view.h"
#import "splash/window/install_page_view.h"
#import "splash/window/start_page_view.h"

namespace {

const NSRect kContentFrame = {{0, 0}, {640, 440}};

NSTabViewItem* MakeItem(NSString* identifier, NSViewController* controller)
{
    NSTabViewItem* item = [[[NSTabViewItem alloc] initWithIdentifier:identifier] autorelease];
    [item setView:[controller view]];
    return item;
}

} // namespace

@implementation ViewController

- (void)loadView
{
    NSView* view = [[[NSView alloc] initWithFrame:kContentFrame] autorelease];
    [self setView:view];

    m_startPageController = [[StartPageViewController alloc] initWithNibName:nil bundle:nil];
    m_installPageController = [[InstallPageViewController alloc] initWithNibName:nil bundle:nil];
    m_eulaPageController = [[EULAPageViewController alloc] initWithNibName:nil bundle:nil];

    m_tabView = [[NSTabView alloc] initWithFrame:[view bounds]];
    [m_tabView setTabViewType:NSTabViewTypeNoTabsNoBorder];
#ifndef GNUSTEP
    [m_tabView setTabPosition:NSTabPositionNone];
#endif
    [m_tabView setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    [m_tabView addTabViewItem:MakeItem(@"start", m_startPageController)];
    [m_tabView addTabViewItem:MakeItem(@"install", m_installPageController)];
    [m_tabView addTabViewItem:MakeItem(@"licence", m_eulaPageController)];
    [m_tabView selectTabViewItemAtIndex:SplashTabStart];
#ifdef GNUSTEP
    // GNUstep's view controllers know no viewDidLoad.
    [self viewDidLoad];
#endif
}

- (void)viewDidLoad
{
#ifndef GNUSTEP
    [super viewDidLoad];
#endif
    [[self view] addSubview:m_tabView];
}

- (void)dealloc
{
    [m_tabView release];
    [m_startPageController release];
    [m_installPageController release];
    [m_eulaPageController release];
    [super dealloc];
}

- (void)setPage:(NSInteger)index
{
    if (index < SplashTabStart || index > SplashTabLicence) {
        return;
    }
    [m_tabView selectTabViewItemAtIndex:index];
}

- (NSInteger)selectedPage
{
    return [m_tabView indexOfTabViewItem:[m_tabView selectedTabViewItem]];
}

- (void)setProgress:(NSInteger)value
{
    [m_installPageController setProgress:value];
}

- (void)setImage:(int)target imageData:(NSData*)imageData
{
    if (target == SplashImageInstall) {
        [m_installPageController setImage:imageData];
    }
}

- (void)updateInstallerInfo:(id)sender
{
    [m_startPageController updateInstallerInfo:sender];
}

- (void)updateLocale:(id)sender
{
    [m_startPageController updateLocale:sender];
    [m_installPageController updateLocale:sender];
    [m_eulaPageController updateLocale:sender];
}

- (BOOL)consentCheckboxState
{
    return m_startPageController ? [m_startPageController consentCheckboxState] : NO;
}

@end
