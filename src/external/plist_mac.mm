// Preference plists on macOS. The user's preferences belong to cfprefsd,
// which caches every domain and writes its files when it sees fit: a file
// replaced behind its back may be overwritten by its cached copy, and what
// we wrote would not be seen by "defaults" or by the products that read the
// same domains. So the plists of the user's own preferences folder go
// through CFPreferences; any other path (a HOME moved elsewhere, as tests
// do, which cfprefsd does not serve) stays a plain file of ours.

#include "external/plist.h"
#include "external/plist_platform.h"

#include <CoreFoundation/CoreFoundation.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

// Owns one Core Foundation reference.
template <typename T>
class CFHolder {
public:
    explicit CFHolder(T ref = nullptr) : m_ref(ref) {}
    ~CFHolder()
    {
        if (m_ref) {
            CFRelease(m_ref);
        }
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    T get() const { return m_ref; }
    explicit operator bool() const { return m_ref != nullptr; }

private:
    T m_ref;
};

// Null for text that is not UTF-8.
CFStringRef CreateString(const std::string& text)
{
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

std::string ToString(CFStringRef text)
{
    const CFIndex length = CFStringGetLength(text);
    CFIndex size = 0;
    CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0,
                     &size);
    std::string result(static_cast<size_t>(size), '\0');
    if (size > 0) {
        CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<UInt8*>(&result[0]), size, nullptr);
    }
    return result;
}

// The domain of `path` when cfprefsd serves it: a "<domain>.plist" directly
// in the preferences folder of the user's real home. Empty otherwise.
std::string PreferencesDomain(const fs::path& path)
{
    const std::string home = UserDatabaseHome();
    if (home.empty() || path.extension() != ".plist" || path.stem().empty()) {
        return {};
    }
    const fs::path folder = (fs::path(home) / "Library" / "Preferences").lexically_normal();
    if (path.parent_path().lexically_normal() != folder) {
        return {};
    }
    return path.stem().string();
}

// One domain of the current user, for any host: the file
// ~/Library/Preferences/<domain>.plist as cfprefsd keeps it. Reads ask
// that one domain only (the "App" reading call would fall back to the
// global domain for a missing key); stores go where CFPreferencesSetAppValue
// puts them, which is the same domain.
class PreferencesDictionary final : public PlistDictionary {
public:
    PreferencesDictionary(const fs::path& path, const std::string& domain, bool create)
        : m_path(path), m_domain(CreateString(domain)), m_created(create)
    {
        if (!m_domain) {
            LOG(ERROR) << "Plist " << path.string() << ": the domain is not UTF-8";
            return;
        }
        if (create) {
            CFHolder<CFArrayRef> keys(
                CFPreferencesCopyKeyList(m_domain.get(), kCFPreferencesCurrentUser,
                                         kCFPreferencesAnyHost));
            if (keys && CFArrayGetCount(keys.get()) > 0) {
                CFPreferencesSetMultiple(nullptr, keys.get(), m_domain.get(),
                                         kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
            }
            m_unsaved = true;
        }
    }

    ~PreferencesDictionary() override
    {
        if (!m_domain) {
            return;
        }
        if (m_unsaved && !CFPreferencesAppSynchronize(m_domain.get())) {
            LOG(ERROR) << "Plist entries lost: " << m_path.string();
            return;
        }
        // A new plist exists afterwards even with nothing in it, as the
        // plain file does; cfprefsd writes no file for an empty domain.
        boost::system::error_code error;
        if (m_created && !m_stored && !fs::exists(m_path, error) && !error) {
            try {
                OpenPlistFile(m_path, false).reset();
            } catch (const std::exception& failure) {
                LOG(ERROR) << "Cannot create plist " << m_path.string() << ": " << failure.what();
            }
        }
    }

    std::string GetString(const std::string& key) const override
    {
        CFHolder<CFStringRef> name(CreateString(key));
        if (!m_domain || !name) {
            return {};
        }
        CFHolder<CFPropertyListRef> value(CFPreferencesCopyValue(
            name.get(), m_domain.get(), kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
        if (!value || CFGetTypeID(value.get()) != CFStringGetTypeID()) {
            return {};
        }
        std::string text = ToString(static_cast<CFStringRef>(value.get()));
        // As with the plain files: a NUL inside a value is not one of ours.
        if (text.find('\0') != std::string::npos) {
            LOG(WARNING) << "Plist " << m_path.string() << ": the value of " << key
                         << " holds a NUL byte, read as empty";
            return {};
        }
        return text;
    }

    void SetString(const std::string& key, const std::string& value) override
    {
        CFHolder<CFStringRef> name(CreateString(key));
        CFHolder<CFStringRef> text(CreateString(value));
        if (!m_domain || !name || !text) {
            throw std::runtime_error("Cannot write plist " + m_path.string() +
                                     ": the key or value is not UTF-8");
        }
        CFPreferencesSetAppValue(name.get(), text.get(), m_domain.get());
        m_unsaved = true;
        m_stored = true;
        if (!CFPreferencesAppSynchronize(m_domain.get())) {
            throw std::runtime_error("Cannot write plist " + m_path.string() +
                                     ": the preferences daemon refused it");
        }
        m_unsaved = false;
    }

private:
    const fs::path m_path;
    const CFHolder<CFStringRef> m_domain;
    const bool m_created;
    bool m_unsaved = false; // entries not yet handed to cfprefsd
    bool m_stored = false;  // a string was stored
};

} // namespace

int SyncToStorage(int fd)
{
    // fsync leaves the data in the drive's cache, where a power cut loses
    // it; F_FULLFSYNC asks the drive to flush. File systems that cannot
    // (network shares, some external drives) refuse it, and fsync is the
    // best they offer.
    if (::fcntl(fd, F_FULLFSYNC) == 0) {
        return 0;
    }
    return ::fsync(fd);
}

std::unique_ptr<PlistDictionary> OpenPlistDictionary(const fs::path& path)
{
    const std::string domain = PreferencesDomain(path);
    if (domain.empty()) {
        return OpenPlistFile(path, true);
    }
    return std::make_unique<PreferencesDictionary>(path, domain, false);
}

std::unique_ptr<PlistDictionary> CreatePlistDictionary(const fs::path& path)
{
    const std::string domain = PreferencesDomain(path);
    if (domain.empty()) {
        return OpenPlistFile(path, false);
    }
    return std::make_unique<PreferencesDictionary>(path, domain, true);
}

} // namespace Zentak::Util
