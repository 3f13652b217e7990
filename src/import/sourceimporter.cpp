#include "import/sourceimporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/host.h"
#include "app/instance.h"
#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/speakers.h"
#include "audio/ownedstream.h"
#include "model/batchrunner.h"
#include "model/batchstate.h"
#include "model/listcolumns.h"
#include "model/qvlistitem.h"
#include "model/sourcelist.h"
#include "import/cuesheet.h"
#include "tags/storedtags.h"
#include "tags/tags.h"
#include "tools/extract.h"

namespace qv {

namespace {

// True when the first occurrence of `suffix` in `path` is at its very end (case-sensitive).
bool FirstOccurrenceEnds(const std::string& path, const char* suffix) {
  const std::string_view tail(suffix);
  const auto found = path.find(tail);
  return found != std::string::npos && found + tail.size() == path.size();
}

// A decoding stream: the source's own rate, channels and resolution, nothing converted to the
// playback format.
constexpr DWORD kProbeFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;

HSTREAM OpenProbeStream(const std::string& path) {
  if (FirstOccurrenceEnds(path, ".cda")) return BASS_CD_StreamCreateFile(path.c_str(), kProbeFlags);
  if (FirstOccurrenceEnds(path, ".flac")) {
    return BASS_FLAC_StreamCreateFile(0, path.c_str(), 0, 0, kProbeFlags);
  }
  return BASS_StreamCreateFile(0, path.c_str(), 0, 0, kProbeFlags);
}

// Removes a temporary WAV that no row owns (only a name that is recognisably ours).
void DeleteOrphanWav(const std::string& tempWav, const std::string& source) {
  if (IsDeletableTempWav(tempWav, source)) RemoveTemporary(tempWav);
}

// A name that a folder scan may list: a media extension, and none of our temporary names.
bool IsListable(const std::string& name) {
  return (IsAudioFile(name) || IsVideoFile(name) || IsCueSheetName(name)) &&
         !IsOurTemporaryName(name);
}

// The CUESHEET tag (in `read`, the file's tags) of a file of the kinds album images are kept in;
// empty for others.
std::string EmbeddedSheet(const std::string& path, const tags::ReadResult& read) {
  const std::string type = GetLowerExtension(path);
  if (type != "flac" && type != "wv" && type != "ape" && type != "tta") return {};
  const auto it = read.tags.fields.find("CUESHEET");
  return it == read.tags.fields.end() || it->second.empty() ? std::string() : it->second[0];
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat x {}, y {};
  return a == b || (::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 &&
                    x.st_dev == y.st_dev && x.st_ino == y.st_ino);
}

// A track's row tags: the sheet's values over the image's own fields. Fields of the whole
// image that would be wrong for one track (its title, number, embedded sheet) are removed when
// the sheet has nothing for them.
std::map<std::string, std::vector<std::string>> TrackTags(const CueSheet& sheet,
                                                          const CueTrack& track) {
  std::map<std::string, std::vector<std::string>> tags;
  const auto set = [&tags](const char* name, const std::string& value) {
    if (!value.empty()) tags[name] = {value};
  };
  tags["TITLE"] = {};
  tags["CUESHEET"] = {};
  set("TITLE", track.title);
  set("ARTIST", track.performer.empty() ? sheet.performer : track.performer);
  set("TRACKNUMBER", std::to_string(track.number));
  set("TRACKTOTAL", std::to_string(sheet.tracks.size()));
  set("ALBUM", sheet.title);
  set("ALBUMARTIST", sheet.performer);
  set("DATE", sheet.date);
  set("GENRE", sheet.genre);
  return tags;
}

// "mm:ss:ff" of CD frames.
std::string CueTime(std::int64_t frames) {
  return FormatText("%02lld:%02d:%02d", static_cast<long long>(frames / 75 / 60),
                    static_cast<int>(frames / 75 % 60), static_cast<int>(frames % 75));
}

const char* PluralS(int count) { return count == 1 ? "" : "s"; }

// The path of an entry of `folder`: the root's entries read "/name", never "//name".
std::string JoinFolder(const std::string& folder, const std::string& name) {
  std::string base = folder;
  TrimTrailingBackslashes(base);
  if (IsDriveRoot(base)) base.clear();
  return base + "/" + name;
}

}  // namespace

namespace {

std::uint32_t Le(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// A plain PCM or float WAV, read from its header alone. FFmpeg's WAV demuxer scans the first
// 64 KB of every 16-bit PCM WAV for a bitstream in S/PDIF framing when the first packet is read
// (about 5 ms a file, ten times what any other probe costs); for a row, a plain and consistent
// header says everything, and PCM data are audio whatever they hold. Anything else (RF64,
// WAVE_FORMAT_EXTENSIBLE, compressed data, odd sizes, no data) is left to the full probe. The
// conversion itself always decodes through FFmpeg, S/PDIF detection included.
bool ProbePlainWav(const std::string& path, std::uint64_t fileSize, ProbeResult& result) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  unsigned char header[12];
  bool ok = std::fread(header, 1, sizeof header, file) == sizeof header &&
            std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVE", 4) == 0;
  unsigned tag = 0, channels = 0, rate = 0, blockAlign = 0, bits = 0;
  std::uint64_t dataStart = 0, dataSize = 0;
  long offset = 12;
  for (int chunks = 0; ok && chunks < 64 && dataStart == 0; ++chunks) {
    unsigned char chunk[8];
    if (std::fseek(file, offset, SEEK_SET) != 0 || std::fread(chunk, 1, 8, file) != 8) break;
    const std::uint32_t size = Le(chunk + 4, 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      unsigned char fmt[16];
      if (size < 16 || std::fread(fmt, 1, 16, file) != 16) break;
      tag = Le(fmt, 2);
      channels = Le(fmt + 2, 2);
      rate = Le(fmt + 4, 4);
      blockAlign = Le(fmt + 12, 2);
      bits = Le(fmt + 14, 2);
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      dataStart = static_cast<std::uint64_t>(offset) + 8;
      dataSize = size;
    }
    offset += 8 + static_cast<long>(size) + static_cast<long>(size & 1);
    if (offset < 0 || static_cast<std::uint64_t>(offset) > fileSize) break;
  }
  std::fclose(file);
  const bool pcm = tag == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const bool floating = tag == 3 && (bits == 32 || bits == 64);
  if (!ok || !(pcm || floating) || channels == 0 || rate == 0 || rate > 768000 ||
      blockAlign != channels * bits / 8 || dataStart == 0 || dataStart >= fileSize ||
      dataSize == 0 || dataSize == 0xFFFFFFFFu) {
    return false;
  }
  const std::uint64_t frames = std::min<std::uint64_t>(dataSize, fileSize - dataStart) / blockAlign;
  if (frames == 0) return false;
  result.seconds = static_cast<double>(frames) / rate;
  const double kbps = static_cast<double>(fileSize) / (result.seconds * 125.0) + 0.5;
  result.kbps = kbps < static_cast<double>(INT_MAX) ? static_cast<std::int64_t>(kbps) : INT_MAX;
  result.size = fileSize;
  result.rate = rate;
  result.bits = pcm ? bits : 0;
  result.channels = channels;
  result.samples = static_cast<std::int64_t>(std::min<std::uint64_t>(frames, INT64_MAX));
  result.declaredSamples = static_cast<std::int64_t>(dataSize / blockAlign);
  // A plain WAV names no speakers (that takes WAVE_FORMAT_EXTENSIBLE): channelMask stays 0.
  result.floating = floating;
  return true;
}

}  // namespace

bool ProbeAudioFile(const std::string& path, ProbeResult& result,
                    audio::ContainerMetadata* container) {
  result = ProbeResult{};
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    result.errorText = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_size <= 0) {
    result.errorText = S_ISDIR(info.st_mode)   ? "it is a folder"
                       : S_ISREG(info.st_mode) ? "the file is empty"
                                               : "it is not a regular file";
    return false;
  }
  if (path.size() <= 4) return false;
  const std::int64_t modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  if (GetLowerExtension(path) == "wav" &&
      ProbePlainWav(path, static_cast<std::uint64_t>(info.st_size), result)) {
    result.modifiedNs = modified;
    return true;
  }

  const OwnedStream stream(OpenProbeStream(path));
  if (!stream.get()) {
    result.errorCode = BASS_ErrorGetCode();
    result.errorText = QV_OpenFailureText();
    return false;
  }
  BASS_CHANNELINFO channel{};
  BASS_ChannelGetInfo(stream.get(), &channel);

  QWORD length = BASS_ChannelGetLength(stream.get(), BASS_POS_BYTE);
  if (length == ~QWORD{0}) length = 0;  // unknown length: no duration, no bitrate
  double seconds = BASS_ChannelBytes2Seconds(stream.get(), length);
  if (!(seconds > 0.0)) seconds = 0.0;

  const QWORD fileBytes = BASS_StreamGetFilePosition(stream.get(), BASS_FILEPOS_END);
  std::int64_t kbps = 0;
  if (seconds > 0.0 && fileBytes != ~QWORD{0}) {
    const double rate = static_cast<double>(fileBytes) / (seconds * 125.0) + 0.5;
    kbps = rate < static_cast<double>(INT_MAX) ? static_cast<std::int64_t>(rate) : INT_MAX;
  }

  result.size = static_cast<std::uint64_t>(info.st_size);
  result.kbps = kbps;
  result.rate = channel.freq;
  result.bits = channel.origres;
  result.channels = channel.chans;
  result.seconds = seconds;
  // The decoding stream gives 32-bit float samples (16-bit ones if the layer could not).
  const QWORD frameBytes =
      QWORD{channel.chans} * ((channel.flags & BASS_SAMPLE_FLOAT) != 0 ? 4u : 2u);
  if (length > 0 && frameBytes > 0) result.samples = static_cast<std::int64_t>(length / frameBytes);
  QV_SOURCEINFO source;
  if (QV_ChannelGetSourceInfo(stream.get(), &source)) {
    result.declaredSamples = source.declaredFrames;
    result.channelMask = source.channelMask;
    result.floating = source.floating != 0;
  }
  if (container) QV_ChannelGetContainerMetadata(stream.get(), audio::kMaxCoverBytes, container);
  result.modifiedNs = modified;
  return true;
}

bool ProbeSource(const std::string& path, ProbeResult& result, std::string* embeddedSheet) {
  audio::ContainerMetadata container;
  if (!ProbeAudioFile(path, result, &container)) return false;
  const tags::ReadResult read = tags::ReadTags(path, container.opened ? &container : nullptr);
  result.fileTags = tags::StoreTags(read);
  if (embeddedSheet) *embeddedSheet = EmbeddedSheet(path, read);
  return true;
}

bool ProbeSourceFacts(const std::string& path, SourceFacts& facts) {
  ProbeResult probe;
  if (!ProbeSource(path, probe, nullptr)) return false;
  facts = std::move(probe);
  return true;
}

void ReportOpenError(BatchHost& owner, const std::string& path, int code,
                     const std::string& reason) {
  const char* file = path.c_str();
  switch (code) {
    case BASS_ERROR_FILEFORM: {
      if (QV_FileListsOtherFiles(file)) {
        ShowFileProblem(&owner, 0, {}, MB_OK,
                        {path, "a playlist or a list of other files, not a sound file"},
                    "Can't open the file:\n\n   %s\n\nMore Details:\n\nThe file is a playlist "
                    "or a list of other files, not a sound file.  Quorvin reads only the file "
                    "itself, never the files such a list names.\n\nThis file was not added.",
                    file);
        return;
      }
      // "Not audio" is what the heading says already; a more precise reason follows it.
      const std::string details =
          reason.empty() || reason.rfind("it is not audio", 0) == 0 ? "" : ": " + reason;
      ShowFileProblem(&owner, 0, {}, MB_OK,
                      {path, reason.empty() ? "not audio in a format Quorvin reads" : reason},
                  "Can't open the file:\n\n   %s\n\nMore Details:\n\nUnsupported File Format%s\n\n"
                  "This file was not added.",
                  file, details.c_str());
      return;
    }
    case BASS_ERROR_WMA_LICENSE:
      ShowFileProblem(&owner, 0, {}, MB_OK, {path, "encrypted with DRM, which Quorvin cannot read"},
                  "Can't open the file:\n\n   %s\n\nMore Details:\n\nThe file you are trying to "
                  "open is encrypted with DRM technology.  To allow Quorvin to open this file, "
                  "you must burn this file to a CD, and then rip it back again.  This procedure "
                  "strips the encryption from the file, and this should allow you to open it."
                  "\n\nThis file was not added.",
                  file);
      return;
    default: {
      std::string details;
      if (!reason.empty()) {
        std::string sentence = reason;
        sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
        details = "More Details:\n\n" + sentence + ".\n\n";
      }
      ShowFileProblem(&owner, 0, {}, MB_OK, {path, reason.empty() ? "cannot be read" : reason},
                  "Unable to get the Audio File Stats from:\n\n   %s\n\n%sThis file was not "
                  "added.",
                  file, details.c_str());
      return;
    }
  }
}

std::vector<OpenFilter> BuildOpenFilter() {
  auto patterns = [](MediaKind kind, bool all) {
    std::string text;
    for (const MediaExtension* entry = kMediaExtensions; entry->extension; ++entry) {
      if (!all && entry->kind != kind) continue;
      if (!text.empty()) text += ";";
      text += "*.";
      text += entry->extension;
    }
    return text;
  };
  auto names = [](MediaKind kind) {
    std::string text;
    for (const MediaExtension* entry = kMediaExtensions; entry->extension; ++entry) {
      if (entry->kind != kind) continue;
      if (!text.empty()) text += ", ";
      text += entry->extension;
    }
    return text;
  };
  return {
      // CUE sheets add the tracks of the album images they describe.
      {"All Openable Files (Audio & Video Files)", patterns(MediaKind::None, true) + ";*.cue"},
      {"Audio Files (" + names(MediaKind::Audio) + ")", patterns(MediaKind::Audio, false)},
      {"Video Files (" + names(MediaKind::Video) + ")", patterns(MediaKind::Video, false)},
  };
}

std::string AddSummaryText(const AddCounters& counters) {
  if (counters.refused > 0) {
    return FormatText("Added %d new file%s, skipped %d existing file%s, and %d could not be added.",
                      counters.added, PluralS(counters.added), counters.skipped,
                      PluralS(counters.skipped), counters.refused);
  }
  return FormatText("Added %d new file%s, and skipped %d existing file%s.", counters.added,
                    PluralS(counters.added), counters.skipped, PluralS(counters.skipped));
}

bool ProgressThrottle::Due(Clock::time_point now) {
  if (!m_started) {
    m_started = true;
    m_last = now;
    return false;
  }
  if (now - m_last < m_interval) return false;
  m_last = now;
  return true;
}

std::string AddingProgressText(int done, int total) {
  return FormatText("Adding...  %d of %d", done, total);
}

SourceImporter::SourceImporter(BatchHost& host, SourceList& list, ToolRunner runTool,
                               Progress progress)
    : m_host(host),
      m_list(list),
      m_runTool(std::move(runTool)),
      m_progress(std::move(progress)),
      m_ownState(std::make_shared<BatchState>()),
      m_state(m_ownState.get()) {}

bool SourceImporter::AddVideo(const std::string& source, ProbeResult& probe,
                              std::string& tempWav) {
  tempWav = MakeTempWavName();
  const bool extracted = !tempWav.empty() && m_runTool &&
                         ExtractAudioFromVideo(m_host, m_runTool, source, tempWav,
                                               &m_state->CancelRequested);
  if (!extracted) {
    DeleteOrphanWav(tempWav, source);
    ShowFileProblem(&m_host, 0, {}, MB_OK, {source, "its sound track could not be extracted"},
                    "Sorry, could not Import:\n\n   %s\n\nSkipping...", source.c_str());
    return false;
  }
  if (!ProbeAudioFile(tempWav, probe)) {
    // No row owns the WAV, so nothing else would remove it.
    DeleteOrphanWav(tempWav, source);
    ReportOpenError(m_host, source, probe.errorCode, probe.errorText);
    return false;
  }
  // The row's tags are the video's, not its sound track's.
  probe.fileTags = tags::StoreTags(tags::ReadTags(source));
  return true;
}

void SourceImporter::AddSourceFile(const std::string& path, AddCounters& counters) {
  AddSourceFile(path, counters, nullptr);
}

void SourceImporter::AddSourceFile(const std::string& path, AddCounters& counters,
                                   const Probed* probed) {
  if (IsOurTemporaryName(GetFileTitle(path, true))) {
    // A hidden output being written, or debris of a stopped run: never a source (removing
    // its row could otherwise delete another run's file).
    ShowFileProblem(&m_host, 0, {}, MB_OK, {path, "one of Quorvin's temporary files, not a source"},
                "Sorry, could not Import:\n\n   %s\n\nThis is one of Quorvin's temporary files "
                "(an output being written, or what a stopped run left), not a source file.",
                path.c_str());
    ++counters.refused;
    return;
  }
  if (IsCueSheetName(path)) {
    AddSheet(path, counters);
    return;
  }
  const bool audio = IsAudioFile(path);
  if (!audio && !IsVideoFile(path)) return;  // only listed extensions get here
  if (m_list.ContainsFile(path)) {
    ++counters.skipped;
    return;
  }
  const std::string title = GetFileTitle(path, false);
  const std::string type = GetLowerExtension(path);

  ProbeResult probe;
  std::string embeddedSheet;
  std::string tempWav;
  bool extracted = false;
  bool asVideo = !audio;
  bool probedOk = false;
  if (audio && probed && probed->done) {
    probe = probed->result;
    embeddedSheet = probed->embeddedSheet;
    probedOk = probed->ok;
  } else if (audio) {
    probedOk = ProbeSource(path, probe, &embeddedSheet);
  }
  if (audio && !probedOk) {
    // A name of both kinds (.mp4) without a sound track the library decodes may still be a
    // video with one.
    if (!IsVideoFile(path) || probe.errorCode != BASS_ERROR_FILEFORM) {
      ReportOpenError(m_host, path, probe.errorCode, probe.errorText);
      ++counters.refused;
      return;
    }
    asVideo = true;
  }
  if (asVideo && QV_FileListsOtherFiles(path.c_str())) {
    // The ffmpeg program would follow such a list (concat, HLS) to the files it names, which
    // may be anywhere, or on the network: refused as the decoder refuses it.
    ReportOpenError(m_host, path, BASS_ERROR_FILEFORM, {});
    ++counters.refused;
    return;
  }
  if (asVideo) {
    if (!AddVideo(path, probe, tempWav)) {
      ++counters.refused;
      return;
    }
    extracted = true;
  }

  if (probe.channels == 0 || probe.channels > audio::kMostChannels) {
    ShowFileProblem(&m_host, 0, {}, MB_OK,
                    {path, FormatText("%d channels; 1 to 8 are taken",
                                      static_cast<int>(probe.channels))},
                "Sorry, but the file you are trying to open:\n\n   %s\nhas an unsupported "
                "Channel Count (%d).\n\nThe Channel Count needs to be 1 to 8.",
                path.c_str(), static_cast<int>(probe.channels));
    if (extracted) DeleteOrphanWav(tempWav, path);
    ++counters.refused;
    return;
  }

  if (!extracted && AddImageTracks(path, probe, embeddedSheet, counters)) {
    return;
  }
  m_list.AddRow(title, type, probe, path, extracted ? tempWav : std::string(),
                extracted);
  ++counters.added;
}

bool SourceImporter::AddImageTracks(const std::string& path, const ProbeResult& probe,
                                    const std::string& embeddedSheet, AddCounters& counters) {
  CueSheet sheet;
  std::vector<std::string> files;
  std::string error;
  // The sheet beside the image counts when it names this image (or falls back to it); its own
  // faults are told when the sheet itself is added.
  if (const std::string beside = SheetBesideImage(path);
      !beside.empty() && LoadCueSheet(beside, sheet, files, error)) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (SameFile(files[i], path)) {
        AddTracks(sheet, static_cast<int>(i), path, probe, counters);
        return true;
      }
    }
  }
  if (embeddedSheet.empty() || !ParseCueSheet(embeddedSheet, sheet, error)) return false;
  // The sheet inside a file describes that file, whatever its FILE line says.
  for (CueTrack& track : sheet.tracks) track.file = 0;
  AddTracks(sheet, 0, path, probe, counters);
  return true;
}

void SourceImporter::AddSheet(const std::string& path, AddCounters& counters) {
  CueSheet sheet;
  std::vector<std::string> files;
  std::string error;
  if (!LoadCueSheet(path, sheet, files, error)) {
    ShowMessage(&m_host, 0, {}, MB_OK,
                "Sorry, could not Import the CUE sheet:\n\n   %s\n\n%s\n\nIts tracks were not "
                "added.",
                path.c_str(), error.c_str());
    ++counters.refused;
    return;
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string& file = files[i];
    if (std::none_of(sheet.tracks.begin(), sheet.tracks.end(),
                     [i](const CueTrack& t) { return t.file == static_cast<int>(i); })) {
      continue;
    }
    ProbeResult probe;
    if (!ProbeSource(file, probe, nullptr)) {
      ReportOpenError(m_host, file, probe.errorCode);
      ++counters.refused;
      continue;
    }
    if (probe.channels == 0 || probe.channels > audio::kMostChannels || probe.rate == 0) {
      ReportOpenError(m_host, file, BASS_ERROR_FILEFORM);
      ++counters.refused;
      continue;
    }
    AddTracks(sheet, static_cast<int>(i), file, probe, counters);
  }
}

void SourceImporter::AddTracks(const CueSheet& sheet, int file, const std::string& path,
                               const ProbeResult& probe, AddCounters& counters) {
  const std::vector<CueTrack>& tracks = sheet.tracks;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const CueTrack& track = tracks[i];
    if (track.file != file) continue;
    TimeRange range{static_cast<double>(track.start) / kCueFramesPerSecond, -1};
    if (i + 1 < tracks.size() && tracks[i + 1].file == file) {
      range.end = static_cast<double>(tracks[i + 1].start) / kCueFramesPerSecond;
    }
    const audio::FrameRange frames = FramesOf(range, probe.rate);
    if (probe.samples >= 0 && frames.start >= probe.samples) {
      ShowMessage(&m_host, 0, {}, MB_OK,
                  "Sorry, could not Import track %02d of:\n\n   %s\n\nIt starts at %s, after the "
                  "end of the file.",
                  track.number, path.c_str(), CueTime(track.start).c_str());
      ++counters.refused;
      continue;
    }
    if (m_list.ContainsFile(path, range)) {
      ++counters.skipped;
      continue;
    }
    const SourceFacts facts = FactsOfPart(probe, range);
    const std::string title =
        track.title.empty() ? FormatText("Track %02d", track.number) : track.title;
    const int row = m_list.AddRow(title, GetLowerExtension(path), facts, path, std::string(),
                                  false, range);
    if (QVListItem* item = m_list.Item(row)) item->tags = TrackTags(sheet, track);
    ++counters.added;
  }
}

namespace {

// `paths` without the files that a sheet among them names: the sheet adds their tracks, and
// the whole file must not be added beside them.
std::vector<std::string> WithoutSheetImages(const std::vector<std::string>& paths) {
  std::vector<std::string> images;
  for (const std::string& path : paths) {
    if (!IsCueSheetName(path)) continue;
    CueSheet sheet;
    std::vector<std::string> files;
    std::string error;
    if (LoadCueSheet(path, sheet, files, error)) images.insert(images.end(), files.begin(), files.end());
  }
  if (images.empty()) return paths;
  std::vector<std::string> kept;
  for (const std::string& path : paths) {
    const bool named = std::any_of(images.begin(), images.end(),
                                   [&path](const std::string& image) { return SameFile(image, path); });
    if (!named) kept.push_back(path);
  }
  return kept;
}

}  // namespace

void SourceImporter::AddWithProgress(const std::vector<std::string>& listed,
                                     AddCounters& counters) {
  const std::vector<std::string> paths = WithoutSheetImages(listed);
  const int total = static_cast<int>(std::min<std::size_t>(paths.size(), INT_MAX));
  BatchState& state = *m_state;
  ProgressThrottle throttle;
  throttle.Due(ProgressThrottle::Clock::now());
  // Probing (opening each file, reading its header and first frame, checking its length) is
  // most of an add's time, and it touches nothing but the file: the runner's workers probe,
  // each into its own slot, while this thread adds the rows in the order of the names, shows
  // the messages and runs the video extractions (which show their own progress).
  std::vector<Probed> probed(static_cast<std::size_t>(total));
  int done = 0;
  const auto added = [&] {
    ++done;
    if (m_progress && done < total && throttle.Due(ProgressThrottle::Clock::now())) {
      m_progress(done, total);
    }
  };
  RowJobSteps steps;
  steps.prepare = [](int) { return true; };
  steps.work = [&](int row, JobContext&) {
    const std::string& path = paths[static_cast<std::size_t>(row)];
    Probed& own = probed[static_cast<std::size_t>(row)];
    if (IsAudioFile(path) && !IsOurTemporaryName(GetFileTitle(path, true))) {
      own.ok = ProbeSource(path, own.result, &own.embeddedSheet);
    }
    own.done = true;
    return 0;
  };
  steps.commit = [&](int row, int) {
    if (state.CancelRequested.load() == 1) return false;  // before the next file
    AddSourceFile(paths[static_cast<std::size_t>(row)], counters,
                  &probed[static_cast<std::size_t>(row)]);
    added();
    return true;
  };
  // A cancel given before the add (a Ctrl-C the host has not looked at yet) stops it before
  // its first file.
  if (total > 0) m_host.PumpMessages();
  const RowJobsOutcome outcome = RunRowJobs(total, m_probeThreads, m_host, state, steps);
  // No worker could be started: this thread probes the files left itself.
  for (int row = outcome.startError.empty() ? total : done; row < total; ++row) {
    if (state.CancelRequested.load() == 1) break;
    AddSourceFile(paths[static_cast<std::size_t>(row)], counters, nullptr);
    added();
    m_host.PumpMessages();
  }
  if (done < total && state.CancelRequested.load() == 1) counters.stopped = true;
}

void SourceImporter::AddFiles(const std::vector<std::string>& paths, AddCounters& counters) {
  AddWithProgress(paths, counters);
}

bool SourceImporter::ListFolder(const std::string& folder, bool recursive,
                                std::vector<std::string>& paths, const std::string& leftOut) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path root(folder);
  std::vector<std::string> found;
  if (!recursive) {
    fs::directory_iterator it(root, ec);
    if (ec) return false;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
      if (ec) break;
      const std::string name = it->path().filename().string();
      if (IsListable(name)) found.push_back(JoinFolder(folder, name));
    }
  } else {
    // Links to folders are not followed, so a link back up cannot make the walk endless.
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) return false;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
      if (ec) break;
      std::error_code typeError;
      if (it->is_directory(typeError)) {
        std::error_code sameError;
        if (!leftOut.empty() && fs::equivalent(it->path(), leftOut, sameError)) {
          it.disable_recursion_pending();
        }
        continue;
      }
      const std::string name = it->path().filename().string();
      if (!IsListable(name)) continue;
      const std::string relative = it->path().lexically_relative(root).string();
      found.push_back(JoinFolder(folder, relative));
    }
  }
  // Name order, as a file manager shows them (the directory's own order means nothing).
  std::sort(found.begin(), found.end());
  paths.insert(paths.end(), found.begin(), found.end());
  return true;
}

AddCounters SourceImporter::ScanFolder(const std::string& folder, bool recursive) {
  AddCounters counters;
  std::vector<std::string> paths;
  if (!ListFolder(folder, recursive, paths, m_leftOut)) {
    ShowMessage(&m_host, 0, {}, MB_OK, "The chosen Folder is empty.");
    return counters;
  }
  AddWithProgress(paths, counters);
  if (m_addEnded) m_addEnded();
  if (counters.Any()) {
    ShowSummary(counters);
  } else if (!counters.stopped) {
    ShowMessage(&m_host, 0, {}, MB_OK,
                "The selected Folder does not contain any supported file types:\n\n   %s",
                folder.c_str());
  }
  return counters;
}

AddCounters SourceImporter::AddPaths(const std::vector<std::string>& paths, bool recursive) {
  AddCounters counters;
  std::vector<std::string> files;
  std::string firstFolder;
  for (const std::string& path : paths) {
    if (!FolderExists(std::string_view(path))) {
      files.push_back(path);
      continue;
    }
    if (firstFolder.empty()) firstFolder = path;
    if (!ListFolder(path, recursive, files, m_leftOut)) {
      ShowMessage(&m_host, 0, {}, MB_OK, "The chosen Folder is empty.");
    }
  }
  AddWithProgress(files, counters);
  if (m_addEnded) m_addEnded();
  if (counters.Any()) {
    ShowSummary(counters);
  } else if (!firstFolder.empty() && !counters.stopped) {
    ShowMessage(&m_host, 0, {}, MB_OK,
                "The selected Folder does not contain any supported file types:\n\n   %s",
                firstFolder.c_str());
  }
  return counters;
}

void SourceImporter::ShowSummary(const AddCounters& counters) {
  if (!counters.Any()) return;
  ShowMessage(&m_host, 0, {}, MB_OK, "%s", AddSummaryText(counters).c_str());
}

}  // namespace qv
