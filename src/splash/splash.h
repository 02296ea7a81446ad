#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "utils/platform/process_executor.h"

namespace Zentak {

// What the user does in the splash. Raised on the main thread (page actions,
// dialog answers), except OnExitButtonPressed from ISplash::Close, which runs
// on the caller's thread: implementations must accept calls from both.
class ISplashEventObserver {
public:
    virtual ~ISplashEventObserver() = default;
    virtual void OnStartButtonPressed() = 0;
    virtual void OnReadyButtonPressed() = 0;
    virtual void OnExitButtonPressed() = 0;
    virtual void OnEulaOpenSucceeded() = 0;
    virtual void OnEulaOpenFailed() = 0;
    virtual void OnEulaShown() = 0;
    virtual void OnEulaHidden() = 0;
    virtual void OnSkipPressed() = 0;
    virtual void OnRetryPressed() = 0;
    virtual void OnCancelPressed() = 0;
    virtual void OnSelectInstallFolderPressed() = 0;
    virtual void OnConsentCheckboxStateChanged(bool state) = 0;
};

// The installer's window. RunSplash runs on the main thread; every other
// operation is called on the logic thread and returns only after the main
// thread has performed it, so calls reach the window in order.
class ISplash {
public:
    enum Page : int {
        Start = 1,
        Progress = 4,
        Wait = 5,
        Ready = 6,
        Cancel = 7,
    };

    enum ButtonState : int {
        Enabled = 0,
        Disabled = 1,
    };

    virtual ~ISplash() = default;
    // Shows the window and runs the event loop until Close.
    virtual void RunSplash() = 0;
    virtual void SetPage(Page page) = 0;
    virtual void UpdateProgress(int value) = 0;
    virtual void UpdateInstallerInfo() = 0;
    // Tells the observer OnExitButtonPressed, then ends the event loop.
    virtual void Close() = 0;
    virtual void SetMainImage(std::string data) = 0;
    virtual void SetProgressImage(Page page, std::string data) = 0;
    virtual void SetCloseButtonState(ButtonState state) = 0;
    virtual void ShowNoConnectionError() = 0;
    virtual void ShowRetryDialog(const std::string& product,
                                 IProcessExecutorObserver::ProcessState state) = 0;
    virtual void ShowPlatformRequiredDialog(const std::string& text) = 0;
    virtual void ShowInstallerAlreadyRunningDialog(const std::string& name) = 0;
    virtual void ShowNotEnoughDiskSpaceDialog(const std::string& disk, uint64_t required,
                                              uint64_t available) = 0;
    virtual void ShowProgramIsRunningDialog(const std::string& name) = 0;
    // The installer of the package `name`, the `number`th of `count`, starts.
    // The window's progress page says nothing of it; the console does.
    virtual void ShowInstallStep(int /*number*/, int /*count*/, const std::string& /*name*/) {}
};

// The window when a display is there and the run is not unattended,
// otherwise the console splash. The observer must outlive the splash.
std::unique_ptr<ISplash> CreateSplash(ISplashEventObserver& observer);

// The number of megabytes the disk-space dialog asks the user to free.
int64_t MissingSpaceMegabytes(uint64_t required, uint64_t available);

} // namespace Zentak
