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
// a 64-bit bit window, an 8-bit Huffman lookahead, planes reused between frames.
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
  int16_t scale() const { return scale_; }

 private:
  int16_t luma_table_[64];
  int16_t chroma_table_[64];
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
  // The same block, already moved to row-major order and multiplied by `quant` (each product kept in
  // 16 bits): DecodeBlock, Unzigzag and the dequantisation in one pass over the coded coefficients.
  // Returns false when the block stored no AC coefficient at all.
  bool DecodeBlockDequantized(int16_t block[64], int component, const int16_t quant[64]);
  uint32_t GetBits(int n);
  void Release() {}

 private:
  // Stores each decoded coefficient through `store(k, value)`; true when one was an AC coefficient.
  template <typename Store>
  bool DecodeCoefficients(int component, Store store);
  void Fill();
  int DecodeSymbol(int table);  // 0, 1: DC tables; 2, 3: AC tables
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

// The colour conversion of `pixels` (even) pixels: luminance bytes, and one (Cb, Cr) byte pair, lifted
// by 128, for every two pixels; R G B out, each R = Y + 1.402 Cr, G = Y - 0.3441 Cb - 0.7139 Cr,
// B = Y + 1.7718 Cb - 0.0012 Cr as double arithmetic truncated toward zero, negative results made
// positive, capped at 255. Computed exactly in cheaper arithmetic wherever that gives the same bytes;
// frames are converted by this very code, whole runs at a time.
void ConvertPixels(const uint8_t* luma, const uint8_t* chroma, uint8_t* rgb, std::size_t pixels);

// One dequantized block (row-major) through the inverse transform frames use, into `out`; it gives
// what CJpegQuantIdct::InverseDct gives, for every block.
void TransformBlock(const int16_t block[64], int16_t out[64]);

// The module-wide working objects every image decoder drives.
CJpegQuantIdct& ModuleQuantIdct();
CJpegEntropyDecoder& ModuleEntropyDecoder();

}  // namespace media
