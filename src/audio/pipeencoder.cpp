#include "audio/pipeencoder.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/filedescriptor.h"
#include "audio/speakers.h"

namespace qv::audio {
namespace {

// A RIFF or data size that says "not known": the data run to the end of the stream.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;
// The bytes of the header that follow its RIFF size field: the plain header's, and the
// extensible one's (22 more bytes of format).
constexpr std::uint32_t kHeaderAfterRiffSize = 38;
constexpr std::uint32_t kExtensibleFormatBytes = 22;
// The low 18 bits of FFmpeg's speaker bits are the WAV channel mask's.
constexpr std::uint64_t kWavSpeakerBits = 0x3FFFF;

std::uint32_t HeaderAfterRiffSize(int channels) {
  return kHeaderAfterRiffSize + (channels > 2 ? kExtensibleFormatBytes : 0);
}

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t FloatFrameBytes(int channels) {
  return sizeof(float) * static_cast<std::uint64_t>(channels);
}

}  // namespace

bool FloatWavHeaderDeclares(int channels, std::int64_t frames) {
  if (channels <= 0 || frames <= 0) return false;
  // The RIFF size, the larger of the two, must stay below the "unknown" value.
  const std::uint64_t maxData = kUnknownSize - 1 - HeaderAfterRiffSize(channels);
  return static_cast<std::uint64_t>(frames) <= maxData / FloatFrameBytes(channels);
}

std::string FloatWavHeader(int rate, int channels, std::int64_t frames,
                           std::uint64_t speakers) {
  const bool extensible = channels > 2;
  std::uint32_t riffSize = kUnknownSize;
  std::uint32_t dataSize = kUnknownSize;
  if (FloatWavHeaderDeclares(channels, frames)) {
    dataSize = static_cast<std::uint32_t>(static_cast<std::uint64_t>(frames) *
                                          FloatFrameBytes(channels));
    riffSize = HeaderAfterRiffSize(channels) + dataSize;
  }
  std::string header = "RIFF";
  PutLe(header, riffSize, 4);
  header += "WAVEfmt ";
  PutLe(header, extensible ? 18 + kExtensibleFormatBytes : 18, 4);
  PutLe(header, extensible ? 0xFFFE : 3, 2);  // WAVE_FORMAT_EXTENSIBLE or IEEE float
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 4), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 4), 2);
  PutLe(header, 32, 2);
  if (extensible) {
    PutLe(header, kExtensibleFormatBytes, 2);
    PutLe(header, 32, 2);  // valid bits
    PutLe(header, static_cast<std::uint32_t>(SpeakersOf(channels, speakers) & kWavSpeakerBits), 4);
    // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT: 00000003-0000-0010-8000-00aa00389b71.
    static constexpr unsigned char kFloatGuid[16] = {3,    0,    0,    0,    0,    0,
                                                     0x10, 0,    0x80, 0,    0,    0xAA,
                                                     0,    0x38, 0x9B, 0x71};
    header.append(reinterpret_cast<const char*>(kFloatGuid), sizeof kFloatGuid);
  } else {
    PutLe(header, 0, 2);  // no extra format bytes
  }
  header += "data";
  PutLe(header, dataSize, 4);
  return header;
}

std::atomic<int> PipeEncoder::s_stallTimeoutMs{PipeEncoder::kStallTimeoutMs};
std::atomic<int> PipeEncoder::s_exitTimeoutMs{PipeEncoder::kExitTimeoutMs};

void PipeEncoder::SetTimeoutsForTesting(int stallTimeoutMs, int exitTimeoutMs) {
  s_stallTimeoutMs = stallTimeoutMs > 0 ? stallTimeoutMs : kStallTimeoutMs;
  s_exitTimeoutMs = exitTimeoutMs > 0 ? exitTimeoutMs : kExitTimeoutMs;
}

int PipeEncoder::Create(DWORD channel, DWORD flags, int rate, int channels,
                        std::uint64_t speakers, std::int64_t expectedFrames, const std::string& command,
                        std::shared_ptr<Encoder>& encoder) {
  auto pipeEncoder = std::make_shared<PipeEncoder>(channel, flags, rate, channels);
  // The child's standard output stays ours; its complaints are kept for the error text.
  pipeEncoder->m_errorsFd = ::memfd_create("encoder-errors", MFD_CLOEXEC);
  if (pipeEncoder->m_child.Start(command, false, pipeEncoder->m_errorsFd) !=
      ChildProcess::StartResult::Started) {
    return BASS_ERROR_CREATE;
  }
  if (!(flags & BASS_ENCODE_NOHEAD)) {
    const std::string header = FloatWavHeader(rate, channels, expectedFrames, speakers);
    if (pipeEncoder->WriteAll(header.data(), header.size()) != BASS_OK) return BASS_ERROR_CREATE;
    if (FloatWavHeaderDeclares(channels, expectedFrames)) {
      pipeEncoder->m_declaredFrames = expectedFrames;
    }
  }
  encoder = std::move(pipeEncoder);
  return BASS_OK;
}

PipeEncoder::~PipeEncoder() {
  Finish();
  if (m_errorsFd >= 0) ::close(m_errorsFd);
}

void PipeEncoder::TakeChildComplaint() {
  if (m_errorsFd < 0 || !m_errorText.empty()) return;
  constexpr off_t kTail = 4096;
  const off_t size = ::lseek(m_errorsFd, 0, SEEK_END);
  std::string text = ReadAt(m_errorsFd, kTail, size > kTail ? size - kTail : 0);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  const size_t lineStart = text.find_last_of('\n');
  if (lineStart != std::string::npos) text.erase(0, lineStart + 1);
  m_errorText = text;
}

int PipeEncoder::WriteAll(const void* data, size_t size) {
  switch (m_child.WriteInput(data, size, s_stallTimeoutMs.load())) {
    case ChildProcess::WriteResult::Written:
      return BASS_OK;
    case ChildProcess::WriteResult::Stalled:
      // A child that takes nothing within the timeout counts as hung: it is ended, so the
      // conversion does not wait for it any longer.
      m_child.CloseInput();
      m_child.Terminate();
      return BASS_ERROR_ENDED;
    case ChildProcess::WriteResult::Closed:
      // The child stopped reading: it is ending, most likely with a complaint.
      if (m_child.WaitForExit(kAbortGraceMs)) TakeChildComplaint();
      break;
  }
  return BASS_ERROR_ENDED;
}

int PipeEncoder::DoWrite(const float* samples, size_t frames) {
  if (m_declaredFrames >= 0) {
    // Never more than the header declared: what a decoder gives beyond it is dropped.
    frames = static_cast<size_t>(
        std::min(static_cast<std::int64_t>(frames), m_declaredFrames - m_writtenFrames));
    if (frames == 0) return BASS_OK;
  }
  const int result = WriteAll(samples, frames * static_cast<size_t>(channels()) * sizeof(float));
  if (result != BASS_OK) {
    m_writeFailed = true;
    return result;
  }
  m_writtenFrames += static_cast<std::int64_t>(frames);
  return BASS_OK;
}

int PipeEncoder::WriteSilence(std::int64_t frames) {
  const size_t frameBytes = static_cast<size_t>(channels()) * sizeof(float);
  const std::int64_t blockFrames = std::min<std::int64_t>(frames, 4096);
  const std::vector<char> silence(static_cast<size_t>(blockFrames) * frameBytes, 0);
  while (frames > 0) {
    const std::int64_t n = std::min(frames, blockFrames);
    if (const int result = WriteAll(silence.data(), static_cast<size_t>(n) * frameBytes);
        result != BASS_OK) {
      return result;
    }
    frames -= n;
  }
  return BASS_OK;
}

int PipeEncoder::DoFinish() {
  if (!m_child.Started()) return BASS_ERROR_CREATE;
  int padded = BASS_OK;
  if (m_declaredFrames >= 0 && !m_writeFailed && m_writtenFrames < m_declaredFrames) {
    const std::int64_t missing = m_declaredFrames - m_writtenFrames;
    if (missing > static_cast<std::int64_t>(kMaxPadSeconds) * rate()) {
      char text[200];
      std::snprintf(text, sizeof text,
                    "the source ended %.1f s before its known length (%lld of %lld frames), so "
                    "the file would be cut short",
                    static_cast<double>(missing) / rate(),
                    static_cast<long long>(m_writtenFrames),
                    static_cast<long long>(m_declaredFrames));
      m_errorText = text;
      DoAbort();
      return BASS_ERROR_ENDED;
    }
    padded = WriteSilence(missing);
  }
  m_child.CloseInput();
  const bool exited = m_child.WaitForExit(s_exitTimeoutMs.load());
  m_child.Terminate();  // reaps; ends what is left of the group
  if (padded != BASS_OK) return padded;
  if (!exited || m_child.ExitCode() != 0) {
    TakeChildComplaint();
    return BASS_ERROR_ENDED;
  }
  return BASS_OK;
}

int PipeEncoder::DoFinishEarly() {
  if (!m_child.Started()) return BASS_ERROR_CREATE;
  // The signal is pending before the input closes, so the child sees it before it can see the
  // end of its input (its command line runs it with exec, so the shell's pid is the child's).
  if (m_declaredFrames >= 0 && m_writtenFrames < m_declaredFrames) ::kill(m_child.Pid(), SIGUSR1);
  m_child.CloseInput();
  const bool exited = m_child.WaitForExit(s_exitTimeoutMs.load());
  m_child.Terminate();
  if (!exited || m_child.ExitCode() != 0) {
    TakeChildComplaint();
    return BASS_ERROR_ENDED;
  }
  return BASS_OK;
}

int PipeEncoder::DoAbort() {
  // The group ends while its input is still open: a child that saw its input close could take
  // that for the end of the data and finish a file.
  m_child.Terminate(kAbortGraceMs);
  m_child.CloseInput();
  return BASS_OK;
}

}  // namespace qv::audio
