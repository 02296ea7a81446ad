#pragma once

#include <memory>

namespace Zentak {

// The application object that main runs.
class IApplication {
public:
    virtual ~IApplication() = default;
    // Runs the installation with its splash; returns the process exit code.
    virtual int Run() = 0;
    // After Run: whether the whole bundle was installed.
    virtual bool BundleInstalled() const = 0;

    static std::unique_ptr<IApplication> CreateInstance(int argc, char** argv);
};

} // namespace Zentak
