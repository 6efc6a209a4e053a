#include "stream/VideoSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <tuple>

#include "engine/Package.h"
#include "engine/VideoDemuxer.h"
#include "engine/WireIds.h"
#include "platform/ShareRoot.h"
#include "platform/TextCodec.h"
#include "platform/Trace.h"
#include "stream/StreamProtocol.h"

extern "C" {
#include <libavcodec/packet.h>
}

VideoSender::VideoSender() : m_pDemuxer(new VideoDemuxer), m_strRoot(SHARE_ROOT) {
    m_pDemuxer->setPeerInput(&VideoSender::InterruptOpen, this);
}

int VideoSender::SetRoot(const char* root) {
    if (!root)
        return -1;
    m_strRoot = root;
    return 0;
}

TcpConnection* VideoSender::Clone() {
    auto* clone = new VideoSender();
    clone->m_strRoot = m_strRoot;
    return clone;
}

// A wait inside the demuxer ends once the connection has.
int VideoSender::InterruptOpen(void* self) {
    auto* sender = static_cast<VideoSender*>(self);
    return sender->m_bClosed || sender->m_socket < 0;
}

VideoSender::~VideoSender() {
    JoinThreads();
    delete m_pDemuxer;
    m_pDemuxer = nullptr;
    if (m_nFileFd >= 0)
        close(m_nFileFd);
}

void VideoSender::OnClose() {
    ReleaseSendBuffers();
    // A demuxer call running on the receive thread ends at its next entry check.
    if (m_pDemuxer)
        m_pDemuxer->close();
    PkgConnection::OnClose();
}

int VideoSender::OnPackage(const uint8_t* pPkg, int nLen) {
    return DispatchPackage(pPkg, nLen, [this](int version, int type, ByteStream& r) { ProcessPkg(version, type, r); });
}

int VideoSender::ProcessPkg(int, int type, ByteStream& reader) {
    DebugTrace("VideoSender::ProcessPkg %d\r\n", type);
    switch (type) {
    case PKG_SEEK:
        return ProcessSeekPkg(reader);
    case PKG_DESCRIBE:
        return ProcessDescribe(reader);
    case PKG_FETCH_MEDIA:
        return ProcessFetchMediaPkg(type);
    case PKG_MEDIA:
        return ProcessMediaPkg(reader);
    default:
        return 0;
    }
}

int VideoSender::ProcessMediaPkg(ByteStream&) { return 0; }

int VideoSender::ProcessFetchMediaPkg(int type) {
    DebugTrace("VideoSender::ProcessFetchMediaPkg %d\r\n", type);
    SendOnePkg();
    return 0;
}

int VideoSender::ProcessDescribe(ByteStream& reader) {
    std::string utf8Name;
    ParseDescribePkg(reader, utf8Name);
    std::string name = Utf8ToAnsi(utf8Name);
    if (!m_pDemuxer)
        return -1;
    DebugTrace("m_pDemuxer->open() %s\r\n", name.c_str());
    // A file that cannot be opened, or that the peer may not have, is
    // described with both sections absent.
    if (!OpenServed(name))
        m_pDemuxer->close();
    StreamDescription desc = DescribeStreams(m_pDemuxer->getAudioCodecCtx(), m_pDemuxer->getAudioStream(),
                                             m_pDemuxer->getVideoCodecCtx(), m_pDemuxer->getVideoStream(),
                                             m_pDemuxer->getFps(), m_pDemuxer->getDuration());
    std::vector<uint8_t> pkg = BuildStreamDescription(desc);
    Send(pkg.data(), int(pkg.size()));
    return 0;
}

namespace {

// Files the demuxer could not read lately, by identity (a changed or
// replaced file is probed afresh), shared by all connections.
struct FileIdentity {
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtimeNs;
    bool operator<(const FileIdentity& o) const {
        return std::tie(dev, ino, size, mtimeNs) < std::tie(o.dev, o.ino, o.size, o.mtimeNs);
    }
};
constexpr size_t kMaxFailedFiles = 4096;
std::mutex g_failedMutex;
std::map<FileIdentity, std::chrono::steady_clock::time_point> g_failed;  // until when

FileIdentity IdentityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

bool FailedLately(const FileIdentity& id) {
    std::lock_guard<std::mutex> lock(g_failedMutex);
    auto it = g_failed.find(id);
    return it != g_failed.end() && std::chrono::steady_clock::now() < it->second;
}

void RememberFailed(const FileIdentity& id) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(g_failedMutex);
    if (g_failed.size() >= kMaxFailedFiles)
        std::erase_if(g_failed, [now](const auto& entry) { return entry.second <= now; });
    if (g_failed.size() < kMaxFailedFiles)
        g_failed[id] = now + std::chrono::milliseconds(VideoSender::kFailedDescribeMs);
}

} // namespace

bool VideoSender::OpenServed(const std::string& name) {
    struct stat st {};
    const int fd = OpenServableFile(m_strRoot, name, &st);
    if (fd < 0) {
        if (m_nFileFd >= 0)
            close(m_nFileFd);
        m_nFileFd = -1;
        return false;
    }
    struct stat held {};
    if (m_nFileFd >= 0 && fstat(m_nFileFd, &held) == 0 && held.st_dev == st.st_dev && held.st_ino == st.st_ino &&
        !m_pDemuxer->getName().empty()) {
        // The file being served: nothing changes, the description goes again.
        close(fd);
        return true;
    }
    // Whatever happens below, the file served so far is left.
    if (m_nFileFd >= 0)
        close(m_nFileFd);
    m_nFileFd = -1;
    const FileIdentity id = IdentityOf(st);
    if (FailedLately(id)) {
        close(fd);
        return false;
    }
    // The demuxer opens the descriptor checked here, through its link in
    // /proc: a name swapped since cannot lead it elsewhere.
    const std::string url = "/proc/self/fd/" + std::to_string(fd);
    if (m_pDemuxer->open(url.c_str()) != 0) {
        if (!InterruptOpen(this))
            RememberFailed(id);
        close(fd);
        return false;
    }
    m_nFileFd = fd;
    return true;
}

int VideoSender::SendOnePkg() {
    if (m_bClosed)
        return -1;
    DebugTrace("VideoSender::SendOnePkg \r\n");
    int bVideo = 0, codecId = 0;
    AVPacketPtr pkt(m_pDemuxer ? m_pDemuxer->readPacket(bVideo, codecId) : nullptr);
    if (!pkt)
        return SendEndOfStream();
    std::unique_ptr<DataBuff> buff = BuildMediaPackageBuff(pkt.get(), codecId, bVideo != 0);
    if (!buff)
        return SendEndOfStream();
    DebugTrace("pksize %d nCodecID:%d duration:%d\r\n", buff->nLen, CodecIdToWire(AVCodecID(codecId)),
               int(pkt->duration));
    SendBuff(std::move(buff));
    return 0;
}

int VideoSender::SendEndOfStream() {
    std::vector<uint8_t> pkg = BuildEndPkg();
    return Send(pkg.data(), int(pkg.size()));
}

int VideoSender::ProcessSeekPkg(ByteStream& reader) {
    DebugTrace("VideoSender::ProcessSeekPkg");
    int32_t target = ParseSeekPkg(reader);
    if (target > 0 && m_pDemuxer) {
        m_pDemuxer->seek(int(target));
        return 0;
    }
    DebugTrace("no open yeah\r\n");
    return 0;
}
