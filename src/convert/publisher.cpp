#include "convert/publisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "app/liveregistry.h"
#include "app/paths.h"
#include "app/renamefile.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/ownedstream.h"
#include "convert/convertfile.h"
#include "convert/outputplanner.h"

namespace qv {
namespace {

// "<folder>/<title>-COPY<nnnnnn>.<extension>" of `path`, the title shortened where the number
// would make the name longer than a file system holds.
std::string NumberedCopy(const std::string& path, int n) {
  char number[16];
  std::snprintf(number, sizeof number, "%06d", n);
  const std::string suffix = std::string("-COPY") + number + "." + GetLowerExtension(path);
  return JoinPath(FolderOfPath(path), FitName(GetFileTitle(path, false), suffix.size()) + suffix);
}

// Removes an empty regular file (never a link).
void RemoveIfEmpty(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
    ::unlink(path.c_str());
  }
}

// How far an output's length may lie from its source's and still count as a whole conversion
// (encoder delay and padding, a header's rounding, a resampled rate).
constexpr double kLengthSlackSeconds = 1.0;

std::string MinutesText(double seconds) {
  const int whole = static_cast<int>(seconds + 0.5);
  return FormatText("%d:%02d", whole / 60, whole % 60);
}

// Looks at `path` as an earlier output of `source` (last written at `sourceWritten`): a
// non-empty regular file other than the source, written after the source and before the
// batch. Returns whether it is a complete conversion; one that holds another length is added
// to `found.incomplete`.
bool HoldsConversion(const std::string& path, const std::string& source,
                     std::filesystem::file_time_type sourceWritten, double sourceSeconds,
                     std::filesystem::file_time_type batchStart, EarlierOutputs& found) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) return false;
  if (std::filesystem::file_size(path, error) == 0 || error) return false;
  if (SamePathIgnoringCase(path, source)) return false;  // the source in its own format
  const auto written = std::filesystem::last_write_time(path, error);
  if (error || written < sourceWritten || written >= batchStart) return false;
  if (!(sourceSeconds > 0.0)) return true;
  const double seconds = AudioFileSeconds(path);
  if (seconds < 0.0 || std::fabs(seconds - sourceSeconds) <= kLengthSlackSeconds) return true;
  found.incomplete.push_back(path + " holds " + MinutesText(seconds) + " of " +
                             MinutesText(sourceSeconds));
  return false;
}

}  // namespace

bool DestinationTaken(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  return !(S_ISREG(info.st_mode) && info.st_size == 0);
}

int MakeUniqueDestination(std::string& path, int maxCopies,
                          const std::set<std::string>* claimed) {
  const auto taken = [claimed](const std::string& name) {
    return DestinationTaken(name) || (claimed && claimed->count(name) > 0);
  };
  if (!taken(path)) return kDestinationFree;
  for (int n = 1; n <= maxCopies && n < 1000000; ++n) {
    std::string candidate = NumberedCopy(path, n);
    if (!taken(candidate)) {
      path = std::move(candidate);
      return kDestinationRenamed;
    }
  }
  return kDestinationAllTaken;
}

double AudioFileSeconds(const std::string& path) {
  const OwnedStream stream(
      BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT));
  if (!stream.get()) return -1.0;
  const QWORD bytes = BASS_ChannelGetLength(stream.get(), BASS_POS_BYTE);
  if (bytes == ~QWORD{0}) return -1.0;
  return BASS_ChannelBytes2Seconds(stream.get(), bytes);
}

EarlierOutputs AlreadyConverted(const std::string& destination, const std::string& source,
                                double sourceSeconds, std::filesystem::file_time_type batchStart) {
  EarlierOutputs found;
  std::error_code error;
  const auto sourceWritten = std::filesystem::last_write_time(source, error);
  if (error) return found;
  std::string candidate = destination;
  for (int n = 1; n < 1000000; ++n) {
    if (HoldsConversion(candidate, source, sourceWritten, sourceSeconds, batchStart, found)) {
      found.converted = true;
      found.complete = candidate;
      found.incomplete.clear();
      return found;
    }
    if (!DestinationTaken(candidate)) break;
    candidate = NumberedCopy(destination, n);
  }
  return found;
}

void Publisher::NameRow(int row, PublishedRow& out) {
  m_log.Write(FormatText("\n--- Conversion # %d ---\n\n", row + 1) +
              FormatText("Saving:\n\n   %s\n\nas:\n\n   %s\n\n", out.sourcePath.c_str(),
                         out.destination.c_str()));
  if (out.replace && m_claimed.count(out.destination) > 0) out.replace = false;
  if (out.replace) {
    out.naming = kDestinationFree;
    m_log.Write("Destination file exists; it is replaced once the new file is complete.\n\n");
  } else {
    out.naming = MakeUniqueDestination(out.destination, m_maxCopies, &m_claimed);
  }
  if (out.naming == kDestinationRenamed) {
    m_log.Write(FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                           out.destination.c_str()));
  }
  m_claimed.insert(out.destination);
}

void Publisher::Discard(PublishedRow& out) {
  if (!out.workPath.empty()) RemoveTemporary(out.workPath);
  out.workPath.clear();
}

ConvertCode Publisher::Publish(PublishedRow& out, ConvertCode code) {
  if (out.naming == kDestinationAllTaken) return Failed(out, {ConvertCode::NamesTaken});
  // One rename of the complete file over the old one: the old one stays until then. A name
  // that became a folder meanwhile is not replaced (the row takes a numbered name).
  if (out.replace && ::rename(out.workPath.c_str(), out.destination.c_str()) == 0) {
    UnregisterTemporary(out.workPath);
    out.workPath.clear();
    return code;
  }
  for (int attempt = 0;; ++attempt) {
    RemoveIfEmpty(out.destination);  // the naming rule counts an empty file as free
    if (RenameWithoutReplacing(out.workPath, out.destination)) break;
    const int failure = errno;
    if (failure == EEXIST && attempt < 100 &&
        MakeUniqueDestination(out.destination, m_maxCopies, &m_claimed) !=
            kDestinationAllTaken) {
      m_claimed.insert(out.destination);
      m_log.Write(FormatText("Destination file exists, saving as this instead:\n\n   %s\n\n",
                             out.destination.c_str()));
      continue;
    }
    return Failed(out, {ConvertCode::WriteFailed, failure,
                        failure == EEXIST ? "\"" + out.destination +
                                                "\" was taken meanwhile; it was not replaced"
                                          : std::string()});
  }
  UnregisterTemporary(out.workPath);  // it has its name now: no longer ours to remove
  out.workPath.clear();
  return code;
}

ConvertCode Publisher::Failed(PublishedRow& out, const ConvertResult& failure) {
  Discard(out);
  out.errorText = ConversionErrorText(failure);
  return failure.code;
}

void Publisher::NameTexts(std::string& text, const std::string& hidden, const std::string& name) {
  if (hidden.empty()) return;
  for (size_t at = text.find(hidden); at != std::string::npos;
       at = text.find(hidden, at + name.size())) {
    text.replace(at, hidden.size(), name);
  }
}

void Publisher::LogFailure(int row, const PublishedRow& out, bool heading) {
  m_log.Write((heading ? FormatText("\n--- Conversion # %d ---\n", row + 1) : std::string()) +
              FormatText("\nGot an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:"
                         "\n\n   %s\n\n---\n",
                         out.decodePath.c_str(), out.destination.c_str(),
                         out.errorText.c_str()));
}

}  // namespace qv
