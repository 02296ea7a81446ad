#pragma once

// The window splash, seen from C++: no AppKit in this header.

#include <memory>
#include <string>

#include "splash/splash.h"

namespace Zentak {

// The bridge between the logic and the window. Created, run and destroyed on
// the main thread. Every other operation is called on the logic thread: it
// stores its data on the window on that thread, then has the main thread
// perform the visible part and waits until it has (or until the event loop
// has ended, so that no caller waits for a loop that is gone). A call made
// on the main thread itself is performed at once.
class MacSplash : public ISplash {
public:
    explicit MacSplash(ISplashEventObserver& observer);
    ~MacSplash() override;
    MacSplash(const MacSplash&) = delete;
    MacSplash& operator=(const MacSplash&) = delete;

    void RunSplash() override;
    void SetPage(Page page) override;
    void UpdateProgress(int value) override;
    void UpdateInstallerInfo() override;
    void Close() override;
    void SetMainImage(std::string data) override;
    void SetProgressImage(Page page, std::string data) override;
    void SetCloseButtonState(ButtonState state) override;
    void ShowNoConnectionError() override;
    void ShowRetryDialog(const std::string& product,
                         IProcessExecutorObserver::ProcessState state) override;
    void ShowPlatformRequiredDialog(const std::string& text) override;
    void ShowInstallerAlreadyRunningDialog(const std::string& name) override;
    void ShowNotEnoughDiskSpaceDialog(const std::string& disk, uint64_t required,
                                      uint64_t available) override;
    void ShowProgramIsRunningDialog(const std::string& name) override;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Whether a window can be shown: a display is named and it accepts us. When
// not, `reason` says why in one line.
bool WindowDisplayAvailable(std::string& reason);

} // namespace Zentak
