#include "platform/posix.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brindlecast::platform {

std::optional<std::vector<FolderEntry>> readFolder(const std::string& path) {
    if (path.empty()) return std::nullopt;
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return std::nullopt;
    const int fd = ::dirfd(folder);
    const std::string prefix = path.back() == '/' ? path : path + "/";
    std::vector<FolderEntry> entries;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') continue;  // hidden, and "." and ".."
        FolderEntry out;
        out.name = entry->d_name;
        out.path = prefix + out.name;
        struct stat info {};
        if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            out.propertiesRead = true;
            out.isSymbolicLink = S_ISLNK(info.st_mode);
            out.isDirectory = S_ISDIR(info.st_mode);
        }
        entries.push_back(std::move(out));
    }
    ::closedir(folder);
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return entries;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::size_t>(info.st_size) <= limit) {
        std::string data(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t got = 0;
        bool ok = true;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (ok) {
            data.resize(got);
            bytes = std::move(data);
        }
    }
    ::close(fd);
    return bytes;
}

char32_t nextCodePoint(std::u16string_view units, std::size_t& i) {
    char32_t c = units[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < units.size() && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (units[i++] - 0xDC00);
    }
    return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
}

}  // namespace brindlecast::platform
