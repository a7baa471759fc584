#include "icon.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bytes/little_endian.h"
#include "pack_error.h"

namespace pack {
namespace {

void put_u32_be(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

void put_chunk(std::string& png, const char* type, const std::string& data) {
  put_u32_be(png, static_cast<std::uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  png += body;
  put_u32_be(png, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// Coverage of the mark at a point of the unit square: a rounded tile with a "Z" cut out.
struct Shade {
  float tile;
  float mark;
};

float distance_to_segment(float px, float py, float ax, float ay, float bx, float by) {
  const float dx = bx - ax, dy = by - ay;
  const float t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
  return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

Shade shade_at(float x, float y) {
  const float radius = 0.2f, inset = 0.04f;
  const float cx = std::clamp(x, inset + radius, 1 - inset - radius);
  const float cy = std::clamp(y, inset + radius, 1 - inset - radius);
  const bool in_tile = std::hypot(x - cx, y - cy) <= radius;
  const float stroke = 0.075f;
  const bool in_mark = distance_to_segment(x, y, 0.28f, 0.28f, 0.72f, 0.28f) <= stroke ||
                       distance_to_segment(x, y, 0.72f, 0.28f, 0.28f, 0.72f) <= stroke ||
                       distance_to_segment(x, y, 0.28f, 0.72f, 0.72f, 0.72f) <= stroke;
  return {in_tile ? 1.0f : 0.0f, in_tile && in_mark ? 1.0f : 0.0f};
}

// RGBA rows, each preceded by PNG's filter byte 0. Four by four samples per pixel smooth the
// edges at every size.
std::string draw(int size) {
  std::string rows;
  for (int py = 0; py < size; ++py) {
    rows += '\0';
    for (int px = 0; px < size; ++px) {
      float tile = 0, mark = 0;
      for (int sy = 0; sy < 4; ++sy) {
        for (int sx = 0; sx < 4; ++sx) {
          const Shade s = shade_at((px + (sx + 0.5f) / 4) / size, (py + (sy + 0.5f) / 4) / size);
          tile += s.tile / 16;
          mark += s.mark / 16;
        }
      }
      const float depth = static_cast<float>(py) / static_cast<float>(size);
      const std::array<float, 3> background{20 + 10 * depth, 110 - 40 * depth, 150 + 60 * depth};
      const float white = tile > 0 ? mark / tile : 0;
      for (float channel : background) rows += static_cast<char>(std::lround(channel * (1 - white) + 255 * white));
      rows += static_cast<char>(std::lround(255 * tile));
    }
  }
  return rows;
}

std::string png(int size) {
  const std::string rows = draw(size);
  uLongf packed_size = compressBound(static_cast<uLong>(rows.size()));
  std::vector<Bytef> packed(packed_size);
  if (compress2(packed.data(), &packed_size, reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size()), 9) != Z_OK) {
    throw ToolError("the generated icon: compression failed");
  }
  std::string out("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  put_u32_be(header, static_cast<std::uint32_t>(size));
  put_u32_be(header, static_cast<std::uint32_t>(size));
  header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits per channel, RGBA
  put_chunk(out, "IHDR", header);
  put_chunk(out, "IDAT", std::string(reinterpret_cast<const char*>(packed.data()), packed_size));
  put_chunk(out, "IEND", "");
  return out;
}

}  // namespace

std::string generated_icon() {
  constexpr std::array<int, 10> sizes{16, 20, 24, 32, 40, 48, 64, 96, 128, 256};
  std::vector<std::string> images;
  for (int size : sizes) images.push_back(png(size));
  std::string ico;
  little_endian::append_u16(ico, 0);
  little_endian::append_u16(ico, 1);  // an icon
  little_endian::append_u16(ico, sizes.size());
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    ico += static_cast<char>(sizes[i] == 256 ? 0 : sizes[i]);  // 0 means 256
    ico += static_cast<char>(sizes[i] == 256 ? 0 : sizes[i]);
    ico += '\0';  // no palette
    ico += '\0';
    little_endian::append_u16(ico, 1);   // planes
    little_endian::append_u16(ico, 32);  // bits per pixel
    little_endian::append_u32(ico, static_cast<std::uint32_t>(images[i].size()));
    little_endian::append_u32(ico, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const std::string& image : images) ico += image;
  return ico;
}

}  // namespace pack
