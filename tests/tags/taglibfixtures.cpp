#include "taglibfixtures.h"

#include <asffile.h>
#include <asfpicture.h>
#include <attachedpictureframe.h>
#include <id3v2tag.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <wavfile.h>

namespace qv::test {

bool AddCoverWithTagLib(const std::string& path, const std::string& mime,
                        const std::string& data) {
  const TagLib::ByteVector bytes(data.data(), static_cast<unsigned>(data.size()));
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".wma") == 0) {
    TagLib::ASF::File file(path.c_str());
    if (!file.isValid()) return false;
    TagLib::ASF::Picture picture;
    picture.setType(TagLib::ASF::Picture::FrontCover);
    picture.setMimeType(mime);
    picture.setPicture(bytes);
    file.tag()->addAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
    return file.save();
  }
  TagLib::RIFF::WAV::File file(path.c_str());
  if (!file.isValid()) return false;
  auto* frame = new TagLib::ID3v2::AttachedPictureFrame;
  frame->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
  frame->setMimeType(mime);
  frame->setPicture(bytes);
  file.ID3v2Tag()->addFrame(frame);
  return file.save();
}

bool AddMp4FreeformWithTagLib(const std::string& path, const std::string& name,
                              const std::string& value) {
  TagLib::MP4::File file(path.c_str());
  if (!file.isValid()) return false;
  file.tag()->setItem("----:com.apple.iTunes:" + name,
                      TagLib::StringList(TagLib::String(value, TagLib::String::UTF8)));
  return file.save();
}

bool AddAsfAttributeWithTagLib(const std::string& path, const std::string& name,
                               const std::string& value) {
  TagLib::ASF::File file(path.c_str());
  if (!file.isValid()) return false;
  file.tag()->addAttribute(TagLib::String(name, TagLib::String::UTF8),
                           TagLib::ASF::Attribute(TagLib::String(value, TagLib::String::UTF8)));
  return file.save();
}

std::vector<std::string> TagLibValues(const std::string& path, const std::string& name) {
  std::vector<std::string> values;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".wma") == 0) {
    TagLib::ASF::File file(path.c_str());
    if (!file.isValid()) return values;
    for (const auto& attribute : file.tag()->attribute(TagLib::String(name, TagLib::String::UTF8))) {
      values.push_back(attribute.toString().to8Bit(true));
    }
    return values;
  }
  TagLib::MP4::File file(path.c_str());
  const TagLib::String key(name, TagLib::String::Latin1);
  if (!file.isValid() || !file.tag()->contains(key)) return values;
  for (const auto& value : file.tag()->item(key).toStringList()) values.push_back(value.to8Bit(true));
  return values;
}

}  // namespace qv::test
