#include "engine/control/Playable.h"

#include "engine/VideoDemuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <sys/stat.h>

std::string CheckPlayable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return path + " does not exist";
    if (S_ISDIR(st.st_mode))
        return path + " is a folder, not a medium";
    VideoDemuxer demuxer;
    if (demuxer.open(path.c_str()) != 0)
        return "cannot open " + path + " as a medium";
    for (AVCodecContext* ctx : {demuxer.getAudioCodecCtx(), demuxer.getVideoCodecCtx()})
        if (ctx && avcodec_find_decoder(ctx->codec_id))
            return "";
    return path + " has no audio or video stream with a decoder";
}
