// The camera's JPEG decoder.
//
// Provenance: entropy decoding after ITU-T T.81 (baseline sequential Huffman coding, Annex C table
// derivation, Figures F.12 EXTEND and F.16 DECODE) with the Annex K example tables; the block stage is
// the integer Loeffler-Ligtenberg-Moschytz inverse DCT with 13-bit constants, as in the public
// "islow" formulation. The stream layout and the output stage are the camera's own: luminance blocks,
// then one Cb/Cr-interleaved chroma plane; chroma stored without level shift, luminance clamped to
// 8..248, colours converted in double precision with truncation, absolute value and a 255 cap.
//
// The output is pinned byte for byte, corrupt and short streams included (golden
// vectors and a literal reference implementation in the tests). Speed comes from what cannot change
// a result: derived tables built once per process, a de-stuffed input scanned once and read through
// a 64-bit bit window, a 10-bit lookahead that yields most AC coefficients whole, blocks stored
// column by column for a transform in 16-bit multiply-adds (block_transform.h), colours computed
// in single precision where that provably gives the same bytes (colour_conversion.h), and planes
// reused between frames. The transform and the colour conversion run in the implementation
// vector_dispatch.h chooses for this processor; every one gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace media {

struct DerivedTable;  // a Huffman table ready for decoding

class CJpegQuantIdct {
 public:
  CJpegQuantIdct();
  virtual ~CJpegQuantIdct() = default;

  void SetQuality(int16_t quality);
  static int QualityScale(int16_t quality);
  static void Unzigzag(int16_t block[64]);
  void DequantizeLuma(int16_t block[64]) const;
  void DequantizeChroma(int16_t block[64]) const;
  static void InverseDct(int16_t block[64]);

  const int16_t* luma_table() const { return luma_table_; }
  const int16_t* chroma_table() const { return chroma_table_; }
  // The tables in column order (entry 8 * c + r is row r, column c), as frames use them.
  const int16_t* luma_columns() const { return luma_columns_; }
  const int16_t* chroma_columns() const { return chroma_columns_; }
  int16_t scale() const { return scale_; }

 private:
  void TransposeTables();

  int16_t luma_table_[64];
  int16_t chroma_table_[64];
  int16_t luma_columns_[64];
  int16_t chroma_columns_[64];
  int16_t scale_ = 100;
};

class CJpegEntropyDecoder {
 public:
  static constexpr int kMaxInput = 20480;

  CJpegEntropyDecoder();
  virtual ~CJpegEntropyDecoder() { Release(); }

  bool Init();
  // Copies the stream and resets the reader; false for a length below 1 or above 20480.
  bool Load(const uint8_t* data, int length);
  // Decodes one block (coefficients in coding order) of component 0 (luminance) or 1 (chroma).
  void DecodeBlock(int16_t block[64], int component);
  // The same block, already moved to its place, column by column (block[8 * c + r] is row r, column
  // c), and multiplied by `quant_columns` (the table in the same order; each product kept in 16 bits):
  // DecodeBlock, Unzigzag and the dequantisation in one pass over the coded coefficients, ready for
  // the transform's row pass. Returns false when the block stored no AC coefficient at all.
  bool DecodeBlockColumns(int16_t block[64], int component, const int16_t quant_columns[64]);
  uint32_t GetBits(int n);
  void Release() {}

 private:
  // Stores each decoded coefficient through `store(k, value)`; true when one was an AC coefficient.
  template <typename Store>
  bool DecodeCoefficients(int component, Store store);
  void Fill();
  int TakeSymbol(const DerivedTable& table);
  uint32_t TakeBits(int n);

  // The stream with stuffing removed and cut at the first marker, followed by zero bytes: exactly
  // the bits the camera's reader delivers (after a marker or the end it delivers only 0-bits).
  static constexpr std::size_t kPadding = 16;
  std::vector<uint8_t> bytes_;
  std::size_t next_ = 0;
  uint64_t window_ = 0;  // bits not yet consumed, most significant first
  int window_bits_ = 0;
  int16_t predictor_[3] = {0, 0, 0};
};

class CJpegImageDecoder {
 public:
  CJpegImageDecoder() = default;
  virtual ~CJpegImageDecoder() { Release(); }

  bool Reset(int16_t quality);
  // Decodes a frame into `rgb` (3 x width x height bytes). When `luma` is given, the luminance plane
  // (width x height bytes) is decoded there. False when the stream is refused (rgb and luma
  // untouched).
  bool DecodeToRgb(const uint8_t* data, int length, uint8_t* rgb, int height, int width,
                   uint8_t* luma = nullptr);
  void Release();

 private:
  std::vector<uint8_t> luma_plane_, chroma_plane_;
};

// The module-wide working objects every image decoder drives.
CJpegQuantIdct& ModuleQuantIdct();
CJpegEntropyDecoder& ModuleEntropyDecoder();

}  // namespace media
