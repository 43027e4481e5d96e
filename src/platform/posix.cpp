#include "platform/posix.h"

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

char32_t nextCodePoint(std::u16string_view units, std::size_t& i) {
    char32_t c = units[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < units.size() && units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (units[i++] - 0xDC00);
    }
    return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c;
}

}  // namespace brindlecast::platform
