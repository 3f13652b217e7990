#pragma once
// FileDecoder: reads one audio file with the FFmpeg libraries and hands out interleaved 32-bit
// floats, either in the source's own rate and channel count or converted to a fixed output
// format (the playback device's). Owns every FFmpeg context it opens. Not thread-safe: its
// owner (a Stream) serialises the calls.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/avptr.h"
#include "audio/decodereport.h"
#include "audio/framerange.h"
#include "audio/metadata.h"

namespace qv::audio {

enum class LengthSource {
  // PCM data measured by the file's size, Ogg's last page, or a stream without a frame.
  Measured,
  // A header's claim, which a file cut short still makes: checked with
  // FileDecoder::ReachesLength and counted if the file ends before it.
  Header,
  // Unknown, estimated from the bitrate (MP3 without a Xing header, raw AAC), more than the file
  // could hold, or from a container whose timestamps cannot be checked: the packets are counted.
  Guess,
};

// What a file holds, measured once when it is opened.
struct SourceFormat {
  int rate = 0;
  int channels = 0;
  int origres = 0;             // bits per sample of an integer lossless source, else 0
  bool floating = false;       // a lossless source of floating-point samples
  // The speakers of the channels as FFmpeg's AV_CH_* bits, when the codec gives them in
  // FFmpeg's native order; 0 when unknown.
  std::uint64_t channelMask = 0;
  std::string containerName;   // FFmpeg's demuxer name ("mp3", "flac", "asf", ...)
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::int64_t lengthFrames = -1;  // -1 until known
  // Where lengthFrames comes from, and so how it is settled when it is first asked for.
  LengthSource lengthSource = LengthSource::Guess;
  // The length in source frames that the container's header declares (a WAV's data size, FLAC's
  // total samples, an MP4 or Matroska duration, an MP3's Xing frame count), as declared: not
  // checked against the file, so more than a file cut short holds. -1 when the header declares
  // none (FFmpeg estimated it from the bitrate, or took it from the last page or timestamps).
  std::int64_t declaredFrames = -1;
  // The demuxer the file was found to need: a second opening of the same file (to check or
  // count its length) uses it instead of probing the file again.
  const AVInputFormat* inputFormat = nullptr;
};

// The demuxers a source is opened with: containers and bare streams of sound (and of videos
// with sound). Playlists, concat lists, image sequences and stream descriptions are refused,
// so no source can make the layer read another file.
inline constexpr const char* kSoundDemuxers =
    "aac,ac3,aiff,amr,amrnb,amrwb,ape,asf,asf_o,au,avi,caf,dts,dtshd,eac3,flac,flv,gsm,loas,"
    "matroska,webm,mlp,mov,mp4,m4a,3gp,3g2,mj2,mp3,mpc,mpc8,mpeg,mpegts,nut,ogg,oma,rm,shn,"
    "tak,truehd,tta,voc,w64,wav,wv,xwma";

// Whether FFmpeg takes the regular file `path` for a list of other files or addresses (a
// playlist, a concat list, a stream description), judged from its own bytes alone: the reason
// a file that kSoundDemuxers refuses is refused.
bool ListsOtherFiles(const std::string& path);

// A test seam for read errors: while a hook is set, FFmpeg asks it before reading from any
// decoder's file, and a true answer makes that read fail as an I/O error would. Null (the
// default) costs one atomic load per read.
using ReadFaultHook = bool (*)();
void SetReadFaultHook(ReadFaultHook hook);

// Why the calling thread's last failed FileDecoder::Open failed, as a clause that can follow
// "Can't open the file - ": the system's words ("No such file or directory"), "the file is
// empty", "it holds no audio stream", "its audio codec (...) is not supported", ... Empty when
// nothing failed or no reason is known. SetOpenFailureText sets it (an opener's own refusal).
const std::string& LastOpenFailureText();
void SetOpenFailureText(std::string text);

// Silences FFmpeg's own log (once per process); the layer reports through its error codes.
void QuietFfmpegLog();

class FileDecoder {
 public:
  // Output in the source's format unless both values are set.
  struct Output {
    int rate = 0;
    int channels = 0;
  };

  FileDecoder() = default;
  FileDecoder(const FileDecoder&) = delete;
  FileDecoder& operator=(const FileDecoder&) = delete;

  // Opens `path`, picks its best audio stream and decodes the first frame to prove that the
  // data really are audio. Returns BASS_OK or an error code: BASS_ERROR_FILEOPEN when the file
  // cannot be read or is no regular file (a folder, a FIFO, a device), BASS_ERROR_FILEFORM when
  // it is not audio that can be decoded (including a low-confidence guess of its format).
  int Open(const std::string& path, Output output);
  // The same for the part `range` of the file: the first frame handed out is source frame
  // `range.start` and the last is the one before `range.end`, exactly. Where the container
  // counts its timestamps in samples (PCM, FLAC, WavPack, ALAC, TTA) the demuxer seeks to
  // before the start; elsewhere the frames from the beginning are decoded. Either way the
  // frames before the start are decoded and dropped.
  int Open(const std::string& path, Output output, FrameRange range);

  const SourceFormat& format() const { return m_format; }
  int outputRate() const { return m_outRate; }
  int outputChannels() const { return m_outLayout.channels(); }

  // Fills `out` with up to `frames` frames. Returns the frames written: fewer than asked only at
  // the end of the stream, 0 once it has ended, -1 when decoding cannot go on (error() tells
  // why, e.g. BASS_ERROR_FILEFORM when the stream changed its rate or channel count).
  long Read(float* out, long frames);
  int error() const { return m_error; }
  DecodeReport report() const;
  // The container's tags and cover as FFmpeg read them when the file was opened.
  ContainerMetadata metadata(std::size_t maxCoverBytes) const;

  // Whether the file really holds `frames` source frames of stream `streamIndex`: seeks on a
  // second opening of the file to two seconds before that end and reads packets until one
  // reaches it (within 0.1 s). False when the seek fails or the packets end before it (a file
  // cut short keeps the length its header claims). Costs about a millisecond.
  static bool ReachesLength(const std::string& path, int streamIndex, int rate,
                            std::int64_t frames, const AVInputFormat* format = nullptr);
  // The length in source frames as the sum of the packet durations, less the encoder delay and
  // padding the decoder drops: for lengths FFmpeg estimated from the bitrate (MP3 without a
  // Xing header, raw AAC) and headers that claim more than the file holds. -1 if unknown.
  static std::int64_t CountFrames(const std::string& path, int streamIndex, int rate,
                                  const AVInputFormat* format = nullptr);
  int streamIndex() const { return m_streamIndex; }

 private:
  // The lengths our own reading of the file's head found: a WAV's data size in bytes and an
  // ASF file's play time in 100 ns units (-1 for none).
  struct HeadLengths {
    std::int64_t wavDataBytes = -1;
    std::int64_t asfPlayTime = -1;
  };
  // Sets the length, its source and the declared length in m_format (part of Open).
  void FindLength(const AVStream& stream, std::int64_t fileSize, std::int64_t dataStart,
                  const HeadLengths& head, bool decoded);
  std::int64_t DeclaredLength(const AVStream& stream, std::int64_t headerFrames,
                              const HeadLengths& head, std::int64_t fileSize) const;
  bool DecodeMore();
  bool ConvertFrame(const AVFrame* frame);
  bool SetUpConverter(const AVFrame* frame);
  bool Drain();
  // Part of Open with a range: has the demuxer go to a point at or before `frame` when its
  // timestamps count samples exactly; false where decoding starts at the beginning instead.
  bool SeekBefore(const AVStream& stream, std::int64_t frame);
  // The frames of `frame` inside the range (`offset` and `count`); false when it holds none.
  bool TrimToRange(const AVFrame& frame, int& offset, int& count);
  // Counts `frames` source frames as lost at the current position.
  void NoteLoss(std::int64_t frames);
  // Decoding cannot go on: `error` ends the stream before the end of the file.
  void StopEarly(int error);
  // Source frames of the packet just read (its duration, else the codec's frame size, else the
  // last frame's length).
  std::int64_t PacketFrames(const AVPacket& packet) const;
  // Counts a jump in the frames' timestamps (data the demuxer skipped) as lost.
  void NoteTimestamp(const AVFrame& frame);

  FormatInputPtr m_fmt;
  CodecCtxPtr m_codec;
  SwrPtr m_swr;
  PacketPtr m_packet;
  FramePtr m_frame;
  int m_streamIndex = -1;
  SourceFormat m_format;

  ChannelLayout m_inLayout;  // the converter's input: format, layout and rate of the frames
  int m_inSampleFormat = -1;
  ChannelLayout m_outLayout;
  int m_outRate = 0;
  bool m_resampling = false;

  std::vector<float> m_pending;  // converted frames not handed out yet
  size_t m_pendingPos = 0;       // in samples
  bool m_inputDone = false;      // the demuxer has nothing more
  bool m_ended = false;          // the decoder and converter are drained
  int m_error = 0;
  int m_badPackets = 0;          // consecutive packets refused before the first frame
  bool m_sawFrame = false;       // a frame decoded: refusals no longer make the file undecodable
  std::int64_t m_lastPacketFrames = 0;  // the length of the packet sent last
  std::int64_t m_lastFrameSamples = 0;  // the length of the last good frame
  std::int64_t m_nextTimestamp = AV_NOPTS_VALUE;  // where the next frame should start (frames)
  std::int64_t m_skippedFrames = 0;  // refused packets and frames of another format
  std::int64_t m_gapFrames = 0;      // jumps in the timestamps
  // Raw streams (MP3, ADTS, FLAC, ...) have no timestamps of their own: data the parser skips
  // to find the next frame shows as bytes between packets, counted at the stream's bitrate.
  bool m_contiguous = false;
  std::int64_t m_nextPosition = -1;
  std::int64_t m_gapBytes = 0;
  std::int64_t m_packetBytes = 0;
  DecodeReport m_report;
  FrameRange m_range;
  // The source frame the next decoded frame starts at; -1 after a seek until a frame's
  // timestamp tells.
  std::int64_t m_position = 0;
  bool m_rangeDone = false;  // the range's last frame was decoded
};

}  // namespace qv::audio
