// StartAudioLibrary: its messages for a device that cannot be started.

#include "audio/startaudiolibrary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "audio/bass.h"
#include "app/showmessage.h"
#include "support/scriptedhost.h"

namespace qv::test {
namespace {

TEST(StartAudioLibrary, StartsWithTheDummyDriverAndReportsASecondStart) {
  ScriptedHost host;
  ASSERT_TRUE(StartAudioLibrary(&host));
  EXPECT_TRUE(host.messages.empty());
  // The device is open now; a second start fails with the table's entry for code 14.
  EXPECT_FALSE(StartAudioLibrary(&host));
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "Sorry, but the audio device could not be initialized.  Error was: 14 - The device "
            "has already been initialized.");
  EXPECT_EQ(host.messages[0].type, MB_OK);
  EXPECT_TRUE(BASS_Free());
}

TEST(StartAudioLibrary, NoSoundDriverTellsTheTruth) {
  // No driver of that name exists: what a machine without sound looks like to SDL.
  const char* saved = std::getenv("SDL_AUDIODRIVER");
  const std::string previous = saved ? saved : "";
  ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  ScriptedHost host;
  const bool started = StartAudioLibrary(&host);
  if (saved) {
    ::setenv("SDL_AUDIODRIVER", previous.c_str(), 1);
  } else {
    ::unsetenv("SDL_AUDIODRIVER");
  }
  ASSERT_FALSE(started);
  ASSERT_EQ(host.messages.size(), 1u);
  const int code = BASS_ErrorGetCode();
  EXPECT_TRUE(code == BASS_ERROR_DRIVER || code == BASS_ERROR_DEVICE) << code;
  EXPECT_EQ(host.messages[0].text,
            "Sorry, but the audio device could not be initialized.  Error was: " +
                FormatText(DeviceErrorEntry(code), code));
}

TEST(StartAudioLibrary, DeviceErrorTable) {
  EXPECT_EQ(FormatText(DeviceErrorEntry(-1), -1),
            "-1 - General audio initialization problem.");
  EXPECT_EQ(FormatText(DeviceErrorEntry(23), 23),
            "23 - The device number specified is invalid (is there a sound card on this system, "
            "and are its drivers installed?)");
  EXPECT_EQ(FormatText(DeviceErrorEntry(3), 3),
            "3 - There is no available device driver - the device may already be in use.");
  // Codes outside the table give an empty text, so the message ends after "Error was: ".
  EXPECT_STREQ(DeviceErrorEntry(2), "");
  EXPECT_STREQ(DeviceErrorEntry(41), "");
}

}  // namespace
}  // namespace qv::test
