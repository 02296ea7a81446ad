#include "external/plist.h"
#include "external/plist_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <glog/logging.h>
#include <plist/plist.h>
#include <pwd.h>
#include <unistd.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

// Preference files are small; anything bigger is not one of ours.
constexpr std::uintmax_t kMaxPlistSize = 16 * 1024 * 1024;

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    // Services and some sandboxes start us without HOME; the user database
    // still knows where the preferences of this user belong.
    std::string fromDatabase = UserDatabaseHome();
    if (fromDatabase.empty()) {
        LOG(ERROR) << "No home folder: HOME is unset and user " << ::getuid()
                   << " has no entry in the user database";
    }
    return fromDatabase;
}

std::string ErrorText(const std::string& action, const fs::path& path, int error)
{
    return action + " " + path.string() + ": " + std::strerror(error);
}

// Writes all of `data` to `fd`; false with errno set on failure.
bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Reads a big-endian unsigned number of `size` bytes at `offset`; false when
// it does not lie inside `data` or is wider than 8 bytes.
bool ReadNumber(const std::vector<char>& data, std::uint64_t offset, std::uint64_t size,
                std::uint64_t& value)
{
    if (size == 0 || size > 8 || offset > data.size() || size > data.size() - offset) {
        return false;
    }
    value = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<unsigned char>(data[offset + i]);
    }
    return true;
}

// True when a string object of a binary plist (ASCII or UTF-16, keys
// included) holds a NUL character. Objects are found through the offset
// table; whatever does not lie inside the file is left to libplist to refuse.
bool BinaryPlistHasNulInText(const std::vector<char>& data)
{
    constexpr std::uint64_t kTrailerSize = 32;
    if (data.size() < 8 + kTrailerSize) {
        return false;
    }
    const std::uint64_t trailer = data.size() - kTrailerSize;
    const std::uint64_t offsetSize = static_cast<unsigned char>(data[trailer + 6]);
    std::uint64_t objects = 0;
    std::uint64_t table = 0;
    if (!ReadNumber(data, trailer + 8, 8, objects) || !ReadNumber(data, trailer + 24, 8, table) ||
        table >= data.size() || offsetSize == 0) {
        return false;
    }
    // Every offset takes at least one byte of the file: a larger count is a
    // lie, and the loop stays bounded by the file size. An object that many
    // offsets name is looked at once.
    objects = std::min<std::uint64_t>(objects, data.size());
    std::vector<bool> seen(data.size(), false);
    for (std::uint64_t i = 0; i < objects; ++i) {
        std::uint64_t offset = 0;
        if (!ReadNumber(data, table + i * offsetSize, offsetSize, offset)) {
            break; // the table runs off the end of the file
        }
        // An object that is never referenced may point anywhere.
        if (offset >= data.size() || seen[offset]) {
            continue;
        }
        seen[offset] = true;
        const unsigned char marker = static_cast<unsigned char>(data[offset]);
        const unsigned type = marker >> 4;
        if (type != 0x5 && type != 0x6) {
            continue;
        }
        std::uint64_t length = marker & 0x0F;
        std::uint64_t start = offset + 1;
        if (length == 0x0F) {
            // The length follows as an integer object: 0x1N, then 2^N bytes.
            if (start >= data.size()) {
                continue;
            }
            const unsigned char intMarker = static_cast<unsigned char>(data[start]);
            const std::uint64_t intSize = std::uint64_t{1} << (intMarker & 0x0F);
            if ((intMarker >> 4) != 0x1 || !ReadNumber(data, start + 1, intSize, length)) {
                continue;
            }
            start += 1 + intSize;
        }
        const std::uint64_t unit = type == 0x5 ? 1 : 2;
        if (start > data.size() || length > (data.size() - start) / unit) {
            continue;
        }
        for (std::uint64_t c = 0; c < length; ++c) {
            bool zero = true;
            for (std::uint64_t b = 0; b < unit; ++b) {
                zero = zero && data[start + c * unit + b] == '\0';
            }
            if (zero) {
                return true;
            }
        }
    }
    return false;
}

// libplist takes a NUL character inside a string or key, then stops the
// process on a failed assertion when asked for the text, or copies the
// string short and reads past its end when writing the file. No preference
// file of ours holds one, and in XML it is not even allowed: such a file is
// corrupt, like any other the reader refuses.
bool HasNulInText(const std::vector<char>& data)
{
    static const char kBinaryMagic[] = "bplist00";
    if (data.size() >= 8 && std::equal(kBinaryMagic, kBinaryMagic + 8, data.begin())) {
        return BinaryPlistHasNulInText(data);
    }
    return std::find(data.begin(), data.end(), '\0') != data.end();
}

// A file that another program wrote, or a damaged one, may repeat a key: the
// binary reader keeps every copy and finds the first, while the XML reader
// keeps the last. A string stored into such a dictionary replaced one copy,
// and the next run read the other, so the stored id seemed never stored.
// Keeping only the last copy of each key, as the XML reader does, makes
// reads, stores and the written file agree.
PlistPtr WithoutRepeatedKeys(PlistPtr dictionary, const fs::path& path)
{
    std::set<std::string> keys;
    bool repeated = false;
    std::vector<std::pair<std::string, plist_t>> items;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dictionary.get(), &iter);
    if (!iter) {
        return dictionary;
    }
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dictionary.get(), iter, &key, &value);
        if (!value) {
            std::free(key);
            break;
        }
        std::string name = key ? key : "";
        std::free(key);
        repeated = !keys.insert(name).second || repeated;
        items.emplace_back(std::move(name), value);
    }
    std::free(iter);
    if (!repeated) {
        return dictionary;
    }
    LOG(WARNING) << "Plist " << path.string() << " repeats keys; the last value of each is kept";
    PlistPtr unique(plist_new_dict());
    for (const auto& [name, value] : items) {
        plist_dict_set_item(unique.get(), name.c_str(), plist_copy(value));
    }
    return unique;
}

PlistPtr ReadDictionary(const fs::path& path)
{
    PlistPtr empty(plist_new_dict());
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_not_found) {
        return empty;
    }
    if (error || status.type() != fs::regular_file) {
        LOG(WARNING) << "Plist " << path.string() << " is not a readable file, read as empty"
                     << (error ? ": " + error.message() : std::string());
        return empty;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error || size > kMaxPlistSize) {
        LOG(WARNING) << "Plist " << path.string() << " has no usable size, read as empty";
        return empty;
    }
    std::ifstream in(path.string(), std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        LOG(WARNING) << "Cannot read plist " << path.string() << ", read as empty";
        return empty;
    }
    if (data.empty()) {
        LOG(WARNING) << "Plist " << path.string() << " is empty";
        return empty;
    }
    if (HasNulInText(data)) {
        LOG(WARNING) << "Plist " << path.string() << " holds a NUL character in a text, read as empty";
        return empty;
    }
    plist_t parsed = nullptr;
#if ZENTAK_LIBPLIST_FORMAT_ARG
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &parsed, nullptr);
#else
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &parsed);
#endif
    PlistPtr root(parsed);
    if (!root) {
        LOG(WARNING) << "Plist " << path.string() << " is corrupt, read as empty";
        return empty;
    }
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        LOG(WARNING) << "Plist " << path.string() << " holds no dictionary, read as empty";
        return empty;
    }
    return WithoutRepeatedKeys(std::move(root), path);
}

// Replaces the file at `path` by the XML form of `dictionary`: written to a
// temporary file in the same folder, synced, then renamed over the target,
// so readers see either the old or the new file, never a part of one.
void WriteDictionary(const fs::path& path, plist_t dictionary)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dictionary, &xml, &length);
    if (!xml) {
        throw std::runtime_error("Cannot serialise plist " + path.string());
    }
    std::string text;
    text.reserve(length);
    // XML readers turn a raw carriage return into a line feed; as a character
    // reference it survives. libplist's own layout never uses one.
    for (const char* c = xml; c != xml + length; ++c) {
        if (*c == '\r') {
            text += "&#13;";
        } else {
            text += *c;
        }
    }
    plist_to_xml_free(xml);

    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    boost::system::error_code ignored;
    fs::create_directories(folder, ignored); // mkstemp below reports a real failure
    std::vector<char> temporary;
    const int fd = CreateLockedTemporary(path, temporary);
    if (fd < 0) {
        throw std::runtime_error(ErrorText("Cannot write plist", path, errno));
    }
    // Renamed while still open, so the lock covers the file until it has
    // its final name.
    const bool written = WriteAll(fd, text.data(), text.size()) && SyncToStorage(fd) == 0;
    const int writeError = errno;
    if (!written) {
        ::unlink(temporary.data());
        ::close(fd);
        throw std::runtime_error(ErrorText("Cannot write plist", path, writeError));
    }
    if (::rename(temporary.data(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.data());
        ::close(fd);
        throw std::runtime_error(ErrorText("Cannot replace plist", path, renameError));
    }
    ::close(fd);
    // Make the rename itself durable; a failure here loses nothing written.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        SyncToStorage(folderFd);
        ::close(folderFd);
    }
}

class PlistFile final : public PlistDictionary {
public:
    PlistFile(const fs::path& path, bool readExisting)
        : m_path(path),
          m_dictionary(readExisting ? ReadDictionary(path) : PlistPtr(plist_new_dict())),
          m_unsaved(!readExisting)
    {
    }

    ~PlistFile() override
    {
        if (!m_unsaved) {
            return;
        }
        try {
            WriteDictionary(m_path, m_dictionary.get());
        } catch (const std::exception& error) {
            LOG(ERROR) << "Plist entries lost: " << error.what();
        } catch (...) {
            LOG(ERROR) << "Plist entries lost: " << m_path.string();
        }
    }

    std::string GetString(const std::string& key) const override
    {
        plist_t node = plist_dict_get_item(m_dictionary.get(), key.c_str());
        if (!node || plist_get_node_type(node) != PLIST_STRING) {
            return std::string();
        }
        // Files with a NUL character in a text are refused when read (see
        // HasNulInText); should libplist still make such a string, its
        // buffer and length are safe to read where asking for a C string
        // would stop the process on an assertion.
        uint64_t length = 0;
        const char* value = plist_get_string_ptr(node, &length);
        if (!value) {
            return std::string();
        }
        if (std::strlen(value) != length) {
            LOG(WARNING) << "Plist " << m_path.string() << ": the value of " << key
                         << " holds a NUL byte, read as empty";
            return std::string();
        }
        return std::string(value, length);
    }

    void SetString(const std::string& key, const std::string& value) override
    {
        plist_dict_set_item(m_dictionary.get(), key.c_str(), plist_new_string(value.c_str()));
        m_unsaved = true;
        WriteDictionary(m_path, m_dictionary.get());
        m_unsaved = false;
    }

private:
    const fs::path m_path;
    const PlistPtr m_dictionary;
    bool m_unsaved; // entries or a new file not yet on disk
};

} // namespace

std::string UserDatabaseHome()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir) {
        return found->pw_dir;
    }
    return std::string();
}

std::unique_ptr<PlistDictionary> OpenPlistFile(const fs::path& path, bool readExisting)
{
    return std::make_unique<PlistFile>(path, readExisting);
}

fs::path GetPlistDirectory()
{
    // With no home folder at all, an absolute path still beats one relative
    // to wherever the process was started.
    const std::string home = HomeFolder();
    const fs::path folder = fs::path(home.empty() ? "/" : home) / "Library" / "Preferences";
    boost::system::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        LOG(ERROR) << "Cannot create the plist folder " << folder.string() << ": "
                   << error.message();
    }
    return folder;
}

const char* GetZentakPlistPrefix()
{
    return "com.zentak.";
}

const char* GetPlistExtension()
{
    return ".plist";
}

fs::path ZentakPlistPath(const std::string& name)
{
    return GetPlistDirectory() / (std::string(GetZentakPlistPrefix()) + name + GetPlistExtension());
}

std::unique_ptr<PlistDictionary> OpenZentakPlistDictionary(const std::string& name)
{
    return OpenPlistDictionary(ZentakPlistPath(name));
}

std::unique_ptr<PlistDictionary> CreateZentakPlistDictionary(const std::string& name)
{
    return CreatePlistDictionary(ZentakPlistPath(name));
}

} // namespace Zentak::Util
