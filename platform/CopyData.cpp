#include "platform/CopyData.h"

#include "platform/Trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A text of at most `limit` bytes at data, ending at its zero or the limit.
std::string BoundedText(const uint8_t* data, size_t limit) {
    const void* zero = std::memchr(data, 0, limit);
    const size_t length = zero ? static_cast<const uint8_t*>(zero) - data : limit;
    return std::string(reinterpret_cast<const char*>(data), length);
}

} // namespace

std::string CopyDataPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime && *runtime && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode))
        return std::string(runtime) + "/sivo.copydata";
    return "/tmp/sivo-" + std::to_string(getuid()) + ".copydata";
}

CCopyDataChannel::~CCopyDataChannel() {
    Close();
}

bool CCopyDataChannel::Create(const std::string& path) {
    Close();
    sockaddr_un addr;
    if (!MakeAddress(path, addr))
        return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;

    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        // Replace only our own leftover socket that nobody answers on.
        const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0)
            close(probe);
        if (live || !S_ISSOCK(st.st_mode) || st.st_uid != getuid()) {
            DebugTrace("copy-data channel %s is in use\n", path.c_str());
            close(fd);
            errno = EADDRINUSE;
            return false;
        }
        unlink(path.c_str());
    }

    const mode_t oldMask = umask(0077);
    const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(oldMask);
    if (bound != 0 || chmod(path.c_str(), 0600) != 0) {
        close(fd);
        return false;
    }
    m_fd = fd;
    m_strPath = path;
    return true;
}

void CCopyDataChannel::Close() {
    if (m_fd < 0)
        return;
    close(m_fd);
    m_fd = -1;
    unlink(m_strPath.c_str());
    m_strPath.clear();
}

bool CCopyDataChannel::Receive(uint32_t& code, std::vector<uint8_t>& data) {
    if (m_fd < 0)
        return false;
    std::vector<uint8_t> buffer(sizeof code + COPYDATA_MAX_BLOCK);
    const ssize_t got = recv(m_fd, buffer.data(), buffer.size(), 0);
    if (got < static_cast<ssize_t>(sizeof code))
        return false;
    std::memcpy(&code, buffer.data(), sizeof code);
    data.assign(buffer.begin() + sizeof code, buffer.begin() + got);
    return true;
}

bool SendCopyData(const std::string& path, uint32_t code, const void* data, size_t size) {
    sockaddr_un addr;
    if (!MakeAddress(path, addr))
        return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval timeout{COPYDATA_SEND_TIMEOUT_MS / 1000, (COPYDATA_SEND_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::vector<uint8_t> datagram(sizeof code + size);
    std::memcpy(datagram.data(), &code, sizeof code);
    if (size)
        std::memcpy(datagram.data() + sizeof code, data, size);
    const ssize_t sent = sendto(fd, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int error = errno;
    close(fd);
    errno = error;
    return sent == static_cast<ssize_t>(datagram.size());
}

std::vector<uint8_t> MakeRemotePlayBlock(const std::string& address, const std::string& name) {
    const size_t nameLength = std::min(name.size(), COPYDATA_MAX_BLOCK - COPYDATA_NAME_OFFSET - 1);
    std::vector<uint8_t> block(COPYDATA_NAME_OFFSET + nameLength + 1, 0);
    std::memcpy(block.data() + COPYDATA_ADDRESS_OFFSET, address.data(),
                std::min(address.size(), COPYDATA_ADDRESS_SIZE - 1));
    std::memcpy(block.data() + COPYDATA_NAME_OFFSET, name.data(), nameLength);
    return block;
}

bool ReadRemotePlayBlock(const uint8_t* data, size_t size, std::string& address, std::string& name) {
    if (!data || size < COPYDATA_NAME_OFFSET)
        return false;
    address = BoundedText(data + COPYDATA_ADDRESS_OFFSET, COPYDATA_ADDRESS_SIZE);
    name = BoundedText(data + COPYDATA_NAME_OFFSET, size - COPYDATA_NAME_OFFSET);
    return true;
}
