// The stream and channel calls of the layer: opening files, their facts, decoding, seeking,
// freeing. Playback calls are in output.cpp.

#include "audio/stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "audio/encoder.h"
#include "audio/handles.h"
#include "audio/output.h"

namespace qv::audio {

FileDecoder::Output Stream::OutputFormat() const {
  if (decodeOnly()) return {};
  return {kPlaybackRate, kPlaybackChannels};
}

std::int64_t Stream::OfRange(std::int64_t fileFrames) const {
  if (m_range.Whole()) return fileFrames;
  if (fileFrames < 0) return m_range.end >= 0 ? m_range.end - m_range.start : -1;
  const std::int64_t end = m_range.end >= 0 ? std::min(m_range.end, fileFrames) : fileFrames;
  return std::max<std::int64_t>(0, end - m_range.start);
}

int Stream::Open() {
  auto decoder = std::make_unique<FileDecoder>();
  const int result = decoder->Open(m_path, OutputFormat(), m_range);
  if (result != BASS_OK) return result;
  m_format = decoder->format();
  m_streamIndex = decoder->streamIndex();
  m_lengthKnown = m_format.lengthSource == LengthSource::Measured;
  struct stat info {};
  if (::stat(m_path.c_str(), &info) == 0) {
    m_fileSize = static_cast<std::uint64_t>(info.st_size);
    m_modifiedNs =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  }
  if (decodeOnly()) {
    m_decoder = std::move(decoder);
  } else {
    m_feed = std::make_unique<PlaybackFeed>(m_path, std::move(decoder), OutputFormat(), m_format,
                                            m_range);
  }
  return BASS_OK;
}

bool Stream::KnowLength(const KnownLength& known) {
  if (known.frames < 0 || known.fileBytes != m_fileSize || m_fileSize == 0 ||
      known.modifiedNs != m_modifiedNs) {
    return false;
  }
  const std::int64_t fileFrames = known.frames;
  m_format.lengthFrames = fileFrames;
  m_lengthKnown = true;
  return true;
}

std::int64_t Stream::LengthFrames() {
  if (!m_lengthKnown) {
    if (m_format.lengthSource != LengthSource::Header ||
        !FileDecoder::ReachesLength(m_path, m_streamIndex, m_format.rate,
                                    m_format.lengthFrames, m_format.inputFormat)) {
      m_format.lengthFrames =
          FileDecoder::CountFrames(m_path, m_streamIndex, m_format.rate, m_format.inputFormat);
    }
    m_lengthKnown = true;
  }
  return OfRange(m_format.lengthFrames);
}

int Stream::Seek(std::int64_t frame) {
  auto decoder = std::make_unique<FileDecoder>();
  const int result =
      decoder->Open(m_path, OutputFormat(), FrameRange{m_range.start + frame, m_range.end});
  if (result != BASS_OK) return result;
  const SourceFormat& reopened = decoder->format();
  if (reopened.rate != m_format.rate || reopened.channels != m_format.channels) {
    return BASS_ERROR_FILEFORM;  // the file was replaced behind our back
  }
  m_decoder = std::move(decoder);
  m_position = frame;
  return BASS_OK;
}

long Stream::Read(float* out, long frames) {
  const long got = m_decoder->Read(out, frames);
  if (got > 0) m_position += got;
  return got;
}

namespace {

bool ContainsNoCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && ContainsNoCase(text.substr(text.size() - suffix.size()),
                                                        suffix);
}

// The families a specialised opener accepts (the demuxer names FFmpeg gives them).
enum class Family { Any, Flac, Wma };

bool FitsFamily(const SourceFormat& format, Family family) {
  switch (family) {
    case Family::Any: return true;
    case Family::Flac: return format.codec == AV_CODEC_ID_FLAC;
    case Family::Wma: return format.containerName == "asf";
  }
  return false;
}

HSTREAM CreateStream(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags,
                     Family family, FrameRange range = {}) {
  SetOpenFailureText({});
  if (mem || !file || offset != 0 || length != 0) return Fail(BASS_ERROR_ILLPARAM, 0u);
  if (range.start < 0 || (range.end >= 0 && range.end < range.start)) {
    return Fail(BASS_ERROR_ILLPARAM, 0u);
  }
  const std::string path(static_cast<const char*>(file));
  if (path.empty()) {
    SetOpenFailureText("no file was named");
    return Fail(BASS_ERROR_FILEOPEN, 0u);
  }
  const DWORD kept = flags & (BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  auto stream = std::make_shared<Stream>(path, kept | BASS_SAMPLE_FLOAT, range);
  const int result = stream->Open();
  if (result != BASS_OK) return Fail(result, 0u);
  if (!FitsFamily(stream->format(), family)) {
    SetOpenFailureText("it is not a file of the kind this opener reads");
    return Fail(BASS_ERROR_FILEFORM, 0u);
  }
  return Succeed(AddStream(std::move(stream)));
}

}  // namespace
}  // namespace qv::audio

using namespace qv::audio;

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                              DWORD flags) {
  return CreateStream(mem, file, offset, length, flags, Family::Any);
}

HSTREAM QV_StreamCreateFileRange(const char* file, DWORD flags, const FrameRange& range) {
  return CreateStream(0, file, 0, 0, flags, Family::Any, range);
}

HSTREAM BASS_FLAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags) {
  return CreateStream(mem, file, offset, length, flags, Family::Flac);
}

HSTREAM BASS_WMA_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags) {
  return CreateStream(mem, file, offset, length, flags, Family::Wma);
}

// A .cda file is a Windows shortcut to a track of an audio CD; it holds no audio and names a
// drive letter that has no meaning here, so it is refused (BASS_ERROR_NOTAUDIO). A name that
// does not end in .cda is opened like any other file.
HSTREAM BASS_CD_StreamCreateFile(const char* file, DWORD flags) {
  if (!file || !*file) return Fail(BASS_ERROR_FILEOPEN, 0u);
  if (!EndsWithNoCase(file, ".cda")) return BASS_StreamCreateFile(0, file, 0, 0, flags);
  struct stat info {};
  if (::stat(file, &info) != 0 || S_ISDIR(info.st_mode)) return Fail(BASS_ERROR_FILEOPEN, 0u);
  return Fail(BASS_ERROR_NOTAUDIO, 0u);
}

BOOL BASS_StreamFree(HSTREAM handle) {
  std::shared_ptr<Stream> stream = TakeStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  {
    auto lock = LockOutput();
    DetachFromOutputLocked(stream);
  }
  // Encoders that were told to go with their channel are finished now.
  for (const auto& encoder : TakeEncodersOf(handle, true)) encoder->Finish();
  return Succeed(1);
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, ~QWORD{0});
  if (mode != BASS_FILEPOS_END) return Fail(BASS_ERROR_NOTAVAIL, ~QWORD{0});
  return Succeed(QWORD{stream->fileSize()});
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (!info) return Fail(BASS_ERROR_ILLPARAM, 0);
  const SourceFormat& format = stream->format();
  *info = BASS_CHANNELINFO{};
  info->freq = static_cast<DWORD>(format.rate);
  info->chans = static_cast<DWORD>(format.channels);
  info->flags = stream->flags();
  info->ctype = static_cast<DWORD>(format.codec);
  info->origres = static_cast<DWORD>(format.origres);
  info->filename = stream->path().c_str();
  return Succeed(1);
}

const char* QV_OpenFailureText() { return LastOpenFailureText().c_str(); }

BOOL QV_ChannelGetSourceInfo(DWORD handle, QV_SOURCEINFO* info) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (!info) return Fail(BASS_ERROR_ILLPARAM, 0);
  const SourceFormat& format = stream->format();
  info->declaredFrames = stream->DeclaredFrames();
  info->channelMask = format.channelMask;
  info->floating = format.floating ? 1 : 0;
  return Succeed(1);
}

BOOL QV_ChannelSetFileLength(DWORD handle, const KnownLength& known) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  std::lock_guard lock(stream->mutex);
  return stream->KnowLength(known) ? Succeed(1) : Fail(BASS_ERROR_NOTAVAIL, 0);
}

BOOL QV_FileListsOtherFiles(const char* path) {
  return path && ListsOtherFiles(path) ? 1 : 0;
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, ~QWORD{0});
  if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, ~QWORD{0});
  std::int64_t frames;
  {
    std::lock_guard lock(stream->mutex);
    frames = stream->LengthFrames();
  }
  if (frames < 0) return Fail(BASS_ERROR_NOTAVAIL, ~QWORD{0});
  return Succeed(static_cast<QWORD>(frames) * 4u * static_cast<QWORD>(stream->format().channels));
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, -1.0);
  const SourceFormat& format = stream->format();
  const double bytesPerSecond = 4.0 * format.channels * format.rate;
  return Succeed(static_cast<double>(pos) / bytesPerSecond);
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
  constexpr DWORD kEnd = 0xFFFFFFFFu;
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, kEnd);
  if (!stream->decodeOnly()) return Fail(BASS_ERROR_NOTAVAIL, kEnd);
  // Only the float request flag is known; FFT and level requests are not offered.
  if (length & ~(BASS_DATA_FLOAT | 0x3FFFFFFFu)) return Fail(BASS_ERROR_NOTAVAIL, kEnd);
  const DWORD bytes = length & 0x3FFFFFFFu;
  if (!buffer) return Fail(BASS_ERROR_ILLPARAM, kEnd);
  const DWORD frameBytes = 4u * static_cast<DWORD>(stream->format().channels);
  const long frames = static_cast<long>(bytes / frameBytes);
  long got;
  int error;
  {
    std::lock_guard lock(stream->mutex);
    got = frames > 0 ? stream->Read(static_cast<float*>(buffer), frames) : 0;
    error = stream->decoderError();
  }
  if (got < 0) return Fail(error ? error : BASS_ERROR_UNKNOWN, kEnd);
  if (got == 0 && frames > 0) return Fail(BASS_ERROR_ENDED, kEnd);
  // Encoders that are not paused take the channel's data as it is decoded.
  for (const auto& encoder : EncodersOf(handle)) {
    if (!(encoder->flags() & BASS_ENCODE_PAUSE)) {
      encoder->Write(static_cast<const float*>(buffer), static_cast<size_t>(got));
    }
  }
  return Succeed(static_cast<DWORD>(got) * frameBytes);
}

BOOL QV_ChannelGetDecodeReport(DWORD handle, DecodeReport* report) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (!stream->decodeOnly() || !report) return Fail(BASS_ERROR_NOTAVAIL, 0);
  std::lock_guard lock(stream->mutex);
  *report = stream->decodeReport();
  return Succeed(1);
}

BOOL QV_ChannelGetContainerMetadata(DWORD handle, std::size_t maxCoverBytes,
                                    ContainerMetadata* metadata) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (!stream->decodeOnly() || !metadata) return Fail(BASS_ERROR_NOTAVAIL, 0);
  std::lock_guard lock(stream->mutex);
  *metadata = stream->metadata(maxCoverBytes);
  return Succeed(1);
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (mode != BASS_POS_BYTE) return Fail(BASS_ERROR_NOTAVAIL, 0);
  const QWORD frameBytes = 4u * static_cast<QWORD>(stream->format().channels);
  const auto frame = static_cast<std::int64_t>(pos / frameBytes);
  std::lock_guard lock(stream->mutex);
  // Only a position past the start needs the length (which an MP3 without a Xing header
  // learns by counting its packets); a rewind never waits for it.
  if (frame > 0) {
    const std::int64_t length = stream->LengthFrames();
    if (length >= 0 && frame > length) return Fail(BASS_ERROR_POSITION, 0);
  }
  if (PlaybackFeed* feed = stream->feed()) {
    // The decoding thread opens the file again and goes to the position; the output plays
    // silence until it is there.
    feed->SeekTo(frame);
    return Succeed(1);
  }
  const int result = stream->Seek(frame);
  if (result != BASS_OK) return Fail(result, 0);
  return Succeed(1);
}
