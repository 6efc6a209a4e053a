#include "engine/control/Playable.h"

#include "engine/MediaPlayer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

namespace {

// A stream of picture or sound that a decoder here can decode and the output
// can play; *refused says why a sound stream cannot be played.
bool HasDecodableStream(const AVFormatContext* ctx, std::string* refused) {
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters* par = ctx->streams[i]->codecpar;
        if ((par->codec_type != AVMEDIA_TYPE_AUDIO && par->codec_type != AVMEDIA_TYPE_VIDEO) ||
            !avcodec_find_decoder(par->codec_id))
            continue;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            *refused = MediaPlayer::AudioFormatError(par->sample_rate, par->ch_layout.nb_channels);
            if (!refused->empty())
                continue;
        }
        return true;
    }
    return false;
}

} // namespace

std::string CheckPlayable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return path + " does not exist";
    if (S_ISDIR(st.st_mode))
        return path + " is a folder, not a medium";
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) != 0)
        return "cannot open " + path + " as a medium";
    // Most containers name their codecs in the header; reading packets to
    // find them is left for those that do not, since it costs the decoding
    // of a few pictures.
    std::string refused;
    bool decodable = HasDecodableStream(ctx, &refused);
    if (!decodable && avformat_find_stream_info(ctx, nullptr) >= 0)
        decodable = HasDecodableStream(ctx, &refused);
    avformat_close_input(&ctx);
    if (!decodable && !refused.empty())
        return path + " has " + refused + ", which cannot be played";
    return decodable ? "" : path + " has no audio or video stream with a decoder";
}
