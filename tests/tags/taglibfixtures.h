#pragma once
// What the ffmpeg program cannot put into a fixture, written with TagLib's own calls: a cover in
// a WMA file or in a WAV file's ID3v2 chunk, and iTunes free-form atoms in an M4A file.

#include <string>
#include <vector>

namespace qv::test {

// Adds a front cover to `path` (a WMA file, or a WAV file whose ID3v2 chunk gets it).
bool AddCoverWithTagLib(const std::string& path, const std::string& mime,
                        const std::string& data);

// Adds the free-form atom "----:com.apple.iTunes:<name>" holding `value` to an MP4 file.
bool AddMp4FreeformWithTagLib(const std::string& path, const std::string& name,
                              const std::string& value);

// Adds a text attribute to a WMA file.
bool AddAsfAttributeWithTagLib(const std::string& path, const std::string& name,
                               const std::string& value);

// The values TagLib reads of an MP4 item ("\xA9" "ART", "aART") or of every ASF attribute
// named `name` ("Author", "WM/AlbumArtist"), as UTF-8.
std::vector<std::string> TagLibValues(const std::string& path, const std::string& name);

}  // namespace qv::test
