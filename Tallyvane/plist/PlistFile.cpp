#include "plist/PlistFile.h"

#include "plist/XmlWriter.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

namespace tallyvane::plist {

namespace {

// Files the agent writes are a few kilobytes; anything this large is not ours.
constexpr std::size_t kMaxFileBytes = 64u << 20;
// Deeper nesting than this is hostile: refuse it before recursion can exhaust the stack.
constexpr int kMaxDepth = 256;
// libplist counts dates from 2001-01-01 00:00:00 UTC.
constexpr double kSeconds1970To2001 = 978307200.0;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistDeleter>;

struct MallocDeleter {
    void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, MallocDeleter>;

void fail(Error* error, std::string description) {
    if (error) error->description = std::move(description);
}

std::string errnoText(const std::string& what, const std::string& path, int err) {
    return what + " \"" + path + "\": " + std::strerror(err);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now so that a failing close can be reported.
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

std::optional<Value> fromNode(plist_t node, int depth, Error* error) {
    if (depth > kMaxDepth) {
        fail(error, "The property list is nested too deeply.");
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            // Negative integers are stored as their 64-bit two's complement.
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // plist_get_string_val asserts (aborts) on a string holding a NUL; read the buffer.
            std::uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            if (!s || std::strlen(s) != length) {
                fail(error, "The property list holds a string with a NUL character.");
                return std::nullopt;
            }
            return Value(std::string(s, length));
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{static_cast<double>(sec) + kSeconds1970To2001 + usec / 1e6});
        }
        case PLIST_DATA: {
            char* raw = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &raw, &length);
            CString bytes(raw);
            Data data;
            if (bytes && length) {
                data.assign(reinterpret_cast<const std::uint8_t*>(bytes.get()),
                            reinterpret_cast<const std::uint8_t*>(bytes.get()) + length);
            }
            return Value(std::move(data));
        }
        case PLIST_ARRAY: {
            Array array;
            std::uint32_t n = plist_array_get_size(node);
            array.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) {
                plist_t item = plist_array_get_item(node, i);
                if (!item) {
                    fail(error, "The property list holds an unreadable array entry.");
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, error);
                if (!value) return std::nullopt;
                array.push_back(std::move(*value));
            }
            return Value(std::move(array));
        }
        case PLIST_DICT: {
            Dict dict;
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            std::unique_ptr<void, decltype(&std::free)> iterGuard(iter, &std::free);
            for (;;) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter, &rawKey, &item);
                CString key(rawKey);
                if (!item) break;
                if (!key) {
                    fail(error, "The property list holds a dictionary entry without a key.");
                    return std::nullopt;
                }
                auto value = fromNode(item, depth + 1, error);
                if (!value) return std::nullopt;
                dict.insert_or_assign(std::string(key.get()), std::move(*value));
            }
            return Value(std::move(dict));
        }
        default:
            fail(error, "The property list holds a value of an unsupported type.");
            return std::nullopt;
    }
}

std::uint64_t bigEndian(const unsigned char* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// libplist 2.2 aborts on an assertion when it hands out a dictionary key holding a NUL, and a
// binary property list can carry one. Refuse such input before libplist builds the tree: walk
// the object offsets and look inside every string object. Anything we cannot follow is refused
// too; libplist would not accept it either.
bool binaryStringsAreClean(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    constexpr std::size_t kHeader = 8, kTrailer = 32;
    if (size < kHeader + kTrailer) return false;
    const unsigned char* trailer = data + size - kTrailer;
    const std::size_t offsetSize = trailer[6];
    const std::uint64_t count = bigEndian(trailer + 8, 8);
    const std::uint64_t tableAt = bigEndian(trailer + 24, 8);
    const std::size_t end = size - kTrailer;
    if (offsetSize < 1 || offsetSize > 8 || tableAt < kHeader || tableAt > end) return false;
    if (count > (end - tableAt) / offsetSize) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t at = bigEndian(data + tableAt + i * offsetSize, offsetSize);
        if (at < kHeader || at >= end) return false;
        const unsigned type = data[at] >> 4;
        if (type != 0x5 && type != 0x6) continue;  // ASCII and UTF-16 strings
        std::uint64_t length = data[at] & 0x0F;
        std::uint64_t start = at + 1;
        if (length == 0x0F) {
            if (start >= end || (data[start] >> 4) != 0x1) return false;
            const std::size_t intSize = std::size_t{1} << (data[start] & 0x0F);
            if (intSize > 8 || start + 1 + intSize > end) return false;
            length = bigEndian(data + start + 1, intSize);
            start += 1 + intSize;
        }
        const std::uint64_t unit = type == 0x5 ? 1 : 2;
        if (length > (end - start) / unit) return false;
        for (std::uint64_t c = 0; c < length; ++c) {
            const unsigned char* u = data + start + c * unit;
            if (u[0] == 0 && (unit == 1 || u[1] == 0)) return false;
        }
    }
    return true;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The last few documents parsed or written, by their exact bytes. A report run reads back the
// launch-data file it has just written once per settled application and again for the report
// and the reset; comparing bytes costs a small part of parsing 10,000 records again.
class RecentDocuments {
  public:
    std::optional<Value> find(std::string_view bytes) {
        std::shared_ptr<const Value> found;
        {
            std::lock_guard lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->bytes != bytes) continue;
                entries_.splice(entries_.begin(), entries_, it);
                found = entries_.front().value;
                break;
            }
        }
        // The caller gets its own copy, made outside the lock.
        if (found) return *found;
        return std::nullopt;
    }
    void remember(std::string bytes, Value value) {
        if (bytes.size() > kMaxRememberedBytes) return;
        auto shared = std::make_shared<const Value>(std::move(value));
        std::list<Entry> dropped;  // destroyed after the lock is released
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->bytes != bytes) continue;
            totalBytes_ -= it->bytes.size();
            dropped.splice(dropped.end(), entries_, it);
            break;
        }
        totalBytes_ += bytes.size();
        entries_.push_front({std::move(bytes), std::move(shared)});
        while (entries_.size() > kMaxEntries || totalBytes_ > kMaxRememberedBytes) {
            totalBytes_ -= entries_.back().bytes.size();
            dropped.splice(dropped.end(), entries_, std::prev(entries_.end()));
        }
    }

  private:
    static constexpr std::size_t kMaxEntries = 4;
    static constexpr std::size_t kMaxRememberedBytes = 16u << 20;
    struct Entry {
        std::string bytes;
        std::shared_ptr<const Value> value;
    };
    std::mutex mutex_;
    std::list<Entry> entries_;
    std::size_t totalBytes_ = 0;
};

RecentDocuments& recentDocuments() {
    static RecentDocuments documents;
    return documents;
}

std::optional<Value> parseAnew(std::string_view bytes, Error* error);

}  // namespace

std::optional<Value> parse(std::string_view bytes, Error* error) {
    if (auto known = recentDocuments().find(bytes)) return known;
    auto value = parseAnew(bytes, error);
    if (value) recentDocuments().remember(std::string(bytes), *value);
    return value;
}

namespace {

std::optional<Value> parseAnew(std::string_view bytes, Error* error) {
    if (bytes.empty()) {
        fail(error, "The data is empty and is not a property list.");
        return std::nullopt;
    }
    if (bytes.size() > kMaxFileBytes || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        fail(error, "The data is too large to be a property list of ours.");
        return std::nullopt;
    }
    if (bytes.substr(0, 8) == "bplist00" && !binaryStringsAreClean(bytes)) {
        fail(error, "The data couldn't be read because it isn't in the correct format.");
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    Node root(raw);
    if (!root) {
        fail(error, "The data couldn't be read because it isn't in the correct format.");
        return std::nullopt;
    }
    return fromNode(root.get(), 0, error);
}

}  // namespace

std::optional<std::string> readBytes(const std::string& path, Error* error) {
    // Non-blocking so that a FIFO planted at the path cannot hang the reader.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        fail(error, errnoText("Cannot open", path, errno));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        fail(error, errnoText("Cannot inspect", path, errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        fail(error, "Cannot read \"" + path + "\": not a regular file");
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        fail(error, "Cannot read \"" + path + "\": the file is too large");
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(error, errnoText("Cannot read", path, errno));
            return std::nullopt;
        }
        if (n == 0) break;
        // The file may grow while we read it; the limit holds regardless.
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxFileBytes) {
            fail(error, "Cannot read \"" + path + "\": the file is too large");
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

std::optional<Value> readFile(const std::string& path, Error* error) {
    auto bytes = readBytes(path, error);
    if (!bytes) return std::nullopt;
    return parse(*bytes, error);
}

std::optional<std::string> toXml(const Value& value, Error* error) {
    return toXml(Value(value), error);
}

std::optional<std::string> toXml(Value&& value, Error* error) {
    bool exact = false;
    auto xml = writeXml(value, &exact);
    if (!xml) {
        fail(error, "The property list could not be serialized as XML.");
        return std::nullopt;
    }
    if (exact) recentDocuments().remember(*xml, std::move(value));
    return xml;
}

bool writeInPlace(const std::string& path, std::string_view bytes, Error* error) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        fail(error, errnoText("Cannot open for writing", path, errno));
        return false;
    }
    if (!writeAll(fd.get(), bytes)) {
        fail(error, errnoText("Cannot write", path, errno));
        return false;
    }
    if (fd.close() != 0) {
        fail(error, errnoText("Cannot finish writing", path, errno));
        return false;
    }
    return true;
}

bool writeAtomically(const std::string& path, std::string_view bytes, Error* error) {
    auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp =
        (slash == std::string::npos ? std::string() : folder) + "." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    Fd fd(::mkstemp(name.data()));
    if (fd.get() < 0) {
        fail(error, errnoText("Cannot create a temporary file for", path, errno));
        return false;
    }
    std::string tempPath(name.data());
    auto abandon = [&](const std::string& what, int err) {
        fail(error, errnoText(what, path, err));
        ::unlink(tempPath.c_str());
        return false;
    };
    // mkstemp creates 0600; the file it replaces is an ordinary readable plist.
    if (::fchmod(fd.get(), 0644) != 0) return abandon("Cannot set the mode for", errno);
    if (!writeAll(fd.get(), bytes)) return abandon("Cannot write", errno);
    if (::fsync(fd.get()) != 0) return abandon("Cannot flush", errno);
    if (fd.close() != 0) return abandon("Cannot finish writing", errno);
    if (::rename(tempPath.c_str(), path.c_str()) != 0) return abandon("Cannot replace", errno);
    return true;
}

}  // namespace tallyvane::plist
