#include "ffmpeg/preroll.hpp"

namespace ffmpeg {

std::int64_t preroll_samples(const AVCodecParameters* parameters) {
  const std::int64_t rate = parameters->sample_rate > 0 ? parameters->sample_rate : 48000;
  // Uncompressed audio has no state to settle.
  if (parameters->codec_id >= AV_CODEC_ID_PCM_S16LE &&
      parameters->codec_id < AV_CODEC_ID_ADPCM_IMA_QT) {
    return 0;
  }
  switch (parameters->codec_id) {
    // Lossless codecs whose frames decode on their own.
    case AV_CODEC_ID_FLAC:
    case AV_CODEC_ID_ALAC:
    case AV_CODEC_ID_WAVPACK:
    case AV_CODEC_ID_TTA:
      return 0;
    // Four frames settle a 128 kbit/s stream (the bit reservoir reaches at
    // most 511 bytes back, the filter bank one granule); twelve cover low
    // bit rates, whose frames are smaller.
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_MP2:
      return 12 * 1152;
    // One frame of MDCT overlap, with room for a window switch.
    case AV_CODEC_ID_AAC:
      return 4 * 1024;
    // The first packet after a seek only primes the overlap and gives no
    // samples; two of the longest blocks are a margin.
    case AV_CODEC_ID_VORBIS:
      return 2 * 8192;
    // The band energies are predicted from the frame before, so an error
    // decays rather than vanishes: below float resolution after 0.4 s.
    case AV_CODEC_ID_OPUS:
      return rate;
    default:
      return rate;  // anything else: a generous second
  }
}

}  // namespace ffmpeg
