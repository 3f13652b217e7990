#include "audio/pipeencoder.h"

namespace qv::audio {
namespace {

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::string FloatWavHeader(int rate, int channels) {
  std::string header = "RIFF";
  PutLe(header, 0xFFFFFFFFu, 4);  // unknown length: the data run to the end of the stream
  header += "WAVEfmt ";
  PutLe(header, 18, 4);
  PutLe(header, 3, 2);  // IEEE float
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 4), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 4), 2);
  PutLe(header, 32, 2);
  PutLe(header, 0, 2);  // no extra format bytes
  header += "data";
  PutLe(header, 0xFFFFFFFFu, 4);
  return header;
}

std::atomic<int> PipeEncoder::s_stallTimeoutMs{PipeEncoder::kStallTimeoutMs};
std::atomic<int> PipeEncoder::s_exitTimeoutMs{PipeEncoder::kExitTimeoutMs};

void PipeEncoder::SetTimeoutsForTesting(int stallTimeoutMs, int exitTimeoutMs) {
  s_stallTimeoutMs = stallTimeoutMs > 0 ? stallTimeoutMs : kStallTimeoutMs;
  s_exitTimeoutMs = exitTimeoutMs > 0 ? exitTimeoutMs : kExitTimeoutMs;
}

int PipeEncoder::Create(DWORD channel, DWORD flags, int rate, int channels,
                        const std::string& command, std::shared_ptr<Encoder>& encoder) {
  auto pipeEncoder = std::make_shared<PipeEncoder>(channel, flags, rate, channels);
  // The child's output stays ours: an encoder's complaints go to our standard error.
  if (pipeEncoder->m_child.Start(command, false) != ChildProcess::StartResult::Started) {
    return BASS_ERROR_CREATE;
  }
  if (!(flags & BASS_ENCODE_NOHEAD)) {
    const std::string header = FloatWavHeader(rate, channels);
    if (pipeEncoder->WriteAll(header.data(), header.size()) != BASS_OK) return BASS_ERROR_CREATE;
  }
  encoder = std::move(pipeEncoder);
  return BASS_OK;
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
      break;
  }
  return BASS_ERROR_ENDED;
}

int PipeEncoder::DoWrite(const float* samples, size_t frames) {
  return WriteAll(samples, frames * static_cast<size_t>(channels()) * sizeof(float));
}

int PipeEncoder::DoFinish() {
  m_child.CloseInput();
  if (!m_child.Started()) return BASS_ERROR_CREATE;
  const bool exited = m_child.WaitForExit(s_exitTimeoutMs.load());
  m_child.Terminate();  // reaps; ends what is left of the group
  if (!exited || m_child.ExitCode() != 0) return BASS_ERROR_ENDED;
  return BASS_OK;
}

int PipeEncoder::DoAbort() {
  m_child.CloseInput();
  m_child.Terminate(kAbortGraceMs);
  return BASS_OK;
}

}  // namespace qv::audio
