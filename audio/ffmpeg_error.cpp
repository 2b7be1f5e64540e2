#include "audio/ffmpeg_error.h"

extern "C" {
#include <libavutil/log.h>
}

namespace taln {

void quietFfmpegLog() {
    av_log_set_level(AV_LOG_QUIET);
}

} // namespace taln
