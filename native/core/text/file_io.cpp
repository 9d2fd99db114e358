#include "core/text/file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrin::text {

int read_file(const std::string &path, std::string &out) {
    out.clear();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd);
            return EISDIR;
        }
        if (S_ISREG(st.st_mode) && st.st_size > 0)
            out.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            int e = errno;
            ::close(fd);
            return e;
        }
        if (r == 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return 0;
}

} // namespace tavrin::text
