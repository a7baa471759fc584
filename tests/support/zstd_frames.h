// Frames as the packer makes them, for tests that build streams by hand.
#pragma once

#include <zstd.h>

#include <string>

namespace test_support {

// Fed without the end directive, so the frame declares no content size and keeps its window.
inline std::string streamed_frame(const std::string& data, int window_log, int level, bool checksum) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
  std::string out(ZSTD_compressBound(data.size()) + 64, '\0');
  ZSTD_outBuffer output{out.data(), out.size(), 0};
  ZSTD_inBuffer input{data.data(), data.size(), 0};
  ZSTD_compressStream2(context, &output, &input, ZSTD_e_continue);
  ZSTD_inBuffer none{nullptr, 0, 0};
  while (ZSTD_compressStream2(context, &output, &none, ZSTD_e_end) != 0) {
  }
  ZSTD_freeCCtx(context);
  out.resize(output.pos);
  return out;
}

}  // namespace test_support
