#pragma once
extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}
#include "runtime/lib/AVCodec.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_AVFORMAT_FUNCTIONS(X) \
  X(avformat_alloc_context) X(avformat_free_context) X(avformat_open_input) X(avformat_find_stream_info) \
  X(avformat_close_input) X(avformat_alloc_output_context2) X(avformat_new_stream) \
  X(avformat_write_header) X(avformat_init_output) X(av_write_trailer) X(av_interleaved_write_frame) \
  X(av_write_frame) X(av_read_frame) X(av_read_pause) X(av_read_play) X(av_seek_frame) X(avformat_seek_file) \
  X(av_find_input_format) X(av_guess_format) X(av_guess_codec) X(av_dump_format) X(av_filename_number_test) \
  X(av_sdp_create) X(avformat_get_class) X(av_codec_get_id) X(av_codec_get_tag) X(avformat_query_codec) \
  X(av_demuxer_iterate) X(av_muxer_iterate) X(av_pkt_dump_log2) X(av_guess_frame_rate) X(av_stream_get_side_data) \
  X(avio_open) X(avio_closep) X(avio_alloc_context) X(avio_context_free) X(avio_seek) X(avio_size) \
  X(avio_flush) X(avio_feof) X(avio_find_protocol_name) X(av_probe_input_format2)
// clang-format on

namespace lib {
VIDMILL_AVFORMAT_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
