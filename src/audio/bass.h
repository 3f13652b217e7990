#pragma once
// The program's audio library: decoding (FFmpeg), preview playback (SDL2), MP3 encoding (LAME),
// a pipe encoder that feeds a child process, WMA encoding (FFmpeg's wmav2 in ASF), and FLAC,
// Opus and Vorbis encoding (FFmpeg's flac, libopus and libvorbis; Opus and Vorbis in Ogg).
//
// The calls keep the names, handles, flags and error codes that the rest of the program was
// written against, so batch, probe and preview code reads as plain library calls. Handles are
// 32-bit numbers, 0 means failure, and BASS_ErrorGetCode() tells the reason of the last failure
// of the calling thread. All calls may be made from the user-interface thread; playback decodes
// on its own thread behind them.

#include <cstdint>
#include "audio/decodereport.h"
#include "audio/framerange.h"
#include "audio/metadata.h"

using DWORD = std::uint32_t;
using QWORD = std::uint64_t;
using WORD = std::uint16_t;
using BOOL = int;
using HSTREAM = DWORD;
using HENCODE = DWORD;
using HPLUGIN = DWORD;
using HWMENCODE = DWORD;

// Version 2.4 of the library contract.
inline constexpr DWORD BASSVERSION = 0x0204;

// Error codes.
inline constexpr int BASS_OK = 0;
inline constexpr int BASS_ERROR_MEM = 1;        // out of memory
inline constexpr int BASS_ERROR_FILEOPEN = 2;   // the file could not be opened
inline constexpr int BASS_ERROR_DRIVER = 3;     // no output driver
inline constexpr int BASS_ERROR_HANDLE = 5;     // invalid handle
inline constexpr int BASS_ERROR_FORMAT = 6;     // sample format not supported
inline constexpr int BASS_ERROR_POSITION = 7;   // invalid position
inline constexpr int BASS_ERROR_INIT = 8;       // BASS_Init has not been called
inline constexpr int BASS_ERROR_ALREADY = 14;   // already initialized
inline constexpr int BASS_ERROR_ILLPARAM = 20;  // an illegal parameter
inline constexpr int BASS_ERROR_NO3D = 21;
inline constexpr int BASS_ERROR_DEVICE = 23;    // invalid device
inline constexpr int BASS_ERROR_NOPLAY = 24;    // the channel is not playing
inline constexpr int BASS_ERROR_FREQ = 25;      // illegal sample rate
inline constexpr int BASS_ERROR_NOTFILE = 27;   // not a file stream
inline constexpr int BASS_ERROR_NOTAVAIL = 37;  // no encoder/codec fits the request
inline constexpr int BASS_ERROR_DECODE = 38;    // the channel is (or is not) a decoding channel
inline constexpr int BASS_ERROR_FILEFORM = 41;  // not audio this library can decode
inline constexpr int BASS_ERROR_NOTAUDIO = 43;  // the file has no audio (e.g. a .cda shortcut)
inline constexpr int BASS_ERROR_CODEC = 44;     // codec not available
inline constexpr int BASS_ERROR_ENDED = 45;     // the channel or encoder has ended
inline constexpr int BASS_ERROR_CREATE = 33;    // could not create the file or process
inline constexpr int BASS_ERROR_READ = 46;      // the file could not be read further (I/O error)
inline constexpr int BASS_ERROR_UNKNOWN = -1;
inline constexpr int BASS_ERROR_WMA_LICENSE = 1000;  // protected (DRM) WMA file
inline constexpr int BASS_ERROR_WMA = 1001;          // the WMA encoder is not available

// Stream and sample flags.
inline constexpr DWORD BASS_SAMPLE_FLOAT = 0x100;
inline constexpr DWORD BASS_STREAM_DECODE = 0x200000;
inline constexpr DWORD BASS_UNICODE = 0x80000000;

// Position modes and file-position queries.
inline constexpr DWORD BASS_POS_BYTE = 0;
inline constexpr DWORD BASS_FILEPOS_CURRENT = 0;
inline constexpr DWORD BASS_FILEPOS_END = 2;

// BASS_ChannelGetData: the flag asks for 32-bit float data (decoding streams with
// BASS_SAMPLE_FLOAT give floats anyway). The value 0xFFFFFFFF is returned at the end or on error.
inline constexpr DWORD BASS_DATA_FLOAT = 0x40000000;

// BASS_ChannelIsActive.
inline constexpr DWORD BASS_ACTIVE_STOPPED = 0;
inline constexpr DWORD BASS_ACTIVE_PLAYING = 1;
inline constexpr DWORD BASS_ACTIVE_STALLED = 2;
inline constexpr DWORD BASS_ACTIVE_PAUSED = 3;

// BASS_ChannelSetAttribute.
inline constexpr DWORD BASS_ATTRIB_VOL = 2;

// Encoder flags.
inline constexpr DWORD BASS_ENCODE_NOHEAD = 0x1;       // no WAV header to the encoder
inline constexpr DWORD BASS_ENCODE_PAUSE = 0x20;       // data arrive only through BASS_Encode_Write
inline constexpr DWORD BASS_ENCODE_AUTOFREE = 0x40000; // free the encoder with its channel

// WMA encoder flags.
inline constexpr DWORD BASS_WMA_ENCODE_STANDARD = 0x2000;

struct BASS_CHANNELINFO {
  DWORD freq = 0;     // sample rate in Hz
  DWORD chans = 0;    // channel count (the source's own, 1 to 8 for a usable source)
  DWORD flags = 0;    // BASS_SAMPLE_FLOAT, BASS_STREAM_DECODE as created
  DWORD ctype = 0;    // codec family, informative only
  DWORD origres = 0;  // source bits per sample; 0 for lossy or floating-point sources
  HPLUGIN plugin = 0;
  DWORD sample = 0;
  const char* filename = nullptr;  // valid while the stream lives
};

// The MPEG Layer-3 wave format record that selects the MP3 output of BASS_Encode_StartACMFile.
#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
struct MPEGLAYER3WAVEFORMAT {
  WAVEFORMATEX wfx;
  WORD wID;
  DWORD fdwFlags;
  WORD nBlockSize;
  WORD nFramesPerBlock;
  WORD nCodecDelay;
};
#pragma pack(pop)
inline constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;

// Our extension: the FLAC, Opus and Vorbis files of QV_Encode_StartFile.
inline constexpr DWORD QV_ENCODE_FLAC = 1;    // FLAC, 16 or 24 bits, a compression level
inline constexpr DWORD QV_ENCODE_OPUS = 2;    // Opus in Ogg at 48000 Hz, a VBR target bitrate
inline constexpr DWORD QV_ENCODE_VORBIS = 3;  // Vorbis in Ogg, a nominal bitrate
struct QV_ENCODEFORMAT {
  DWORD codec = 0;    // QV_ENCODE_FLAC, QV_ENCODE_OPUS or QV_ENCODE_VORBIS
  DWORD bitrate = 0;  // bits per second (Opus, Vorbis)
  int level = 5;      // FLAC compression level, 0 (fastest) to 8 (smallest)
  // FLAC bits per sample, 16 or 24; 0 follows the channel: 24 for an integer lossless source
  // of more than 16 bits, else 16 (the converter names 24 for floating-point sources itself).
  DWORD bits = 0;
};

using ENCODEPROC = void(HENCODE handle, DWORD channel, const void* buffer, DWORD length,
                        void* user);

// Library and output device.
DWORD BASS_GetVersion();
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* window, const void* dsguid);
BOOL BASS_Free();
HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);
int BASS_ErrorGetCode();

// Streams from files (never from memory: `mem` must be 0). Flags 0 give a playable stream,
// BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT a decoding stream for analysis and conversion.
HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
HSTREAM BASS_FLAC_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                   DWORD flags);
HSTREAM BASS_WMA_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                  DWORD flags);
HSTREAM BASS_CD_StreamCreateFile(const char* file, DWORD flags);
// Our extension: a stream of the part `range` of `file` (source frames, exact), as
// BASS_StreamCreateFile otherwise. Its length, positions and data are the part's: position 0 is
// frame `range.start`, and it ends before frame `range.end` (or at the file's end).
HSTREAM QV_StreamCreateFileRange(const char* file, DWORD flags, const qv::audio::FrameRange& range);
BOOL BASS_StreamFree(HSTREAM handle);
QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);

// Channels (streams).
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
// Decoding streams: fills `buffer` with up to `length` bytes of interleaved 32-bit floats and
// returns the byte count; 0xFFFFFFFF at the end of the stream or on error.
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
// Our extension for decoding streams: how decoding has gone so far (what was delivered, what
// damaged data cost, whether it stopped before the end of the file). FALSE for a handle that is
// not a decoding stream.
BOOL QV_ChannelGetDecodeReport(DWORD handle, qv::audio::DecodeReport* report);
// Our extension for decoding streams: the source's container tags and cover (pictures larger
// than `maxCoverBytes` left out), as FFmpeg read them at the open; no further reading.
BOOL QV_ChannelGetContainerMetadata(DWORD handle, std::size_t maxCoverBytes,
                                    qv::audio::ContainerMetadata* metadata);
// Our extension: what the source of a channel declares, read when it was opened.
struct QV_SOURCEINFO {
  std::int64_t declaredFrames = -1;  // the length its header declares, unchecked; -1 for none
  QWORD channelMask = 0;  // the channels' speakers as FFmpeg's AV_CH_* bits; 0 when unknown
  BOOL floating = 0;      // lossless floating-point samples
};
BOOL QV_ChannelGetSourceInfo(DWORD handle, QV_SOURCEINFO* info);
// Our extension: the whole file's length in frames as measured before (when its row was added),
// so the channel need not read the file's end again to learn it. Taken only while the file
// still has the size and modification time it had then.
BOOL QV_ChannelSetFileLength(DWORD handle, const qv::audio::KnownLength& known);
// Our extension: whether a file refused with BASS_ERROR_FILEFORM is a playlist, a concat list
// or another list of files (never opened: the layer reads only the file it is given).
BOOL QV_FileListsOtherFiles(const char* path);

// Why the calling thread's last failed stream creation failed, as a clause ("No such file or
// directory", "the file is empty", "it holds no audio stream", "its audio codec (...) is not
// supported", ...); empty when it gave no reason. Valid until the thread's next creation.
const char* QV_OpenFailureText();
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL BASS_ChannelStop(DWORD handle);
BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
DWORD BASS_ChannelIsActive(DWORD handle);
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);

// Encoders attached to a decoding channel. With BASS_ENCODE_PAUSE the data arrive only
// through BASS_Encode_Write (interleaved floats of the channel's format).
// An MP3 file with the record's channels (1 mono, 2 stereo): a channel of more (up to 8) is
// mixed down by swresample's default matrix, a stereo one for a mono record by LAME, a mono
// one for a stereo record is doubled.
HENCODE BASS_Encode_StartACMFile(DWORD handle, const void* form, DWORD flags, const char* file);
// Runs `cmdline` with /bin/sh (callers quote every path with ShellQuote) and writes a WAV
// header for 32-bit float data (WAVE_FORMAT_EXTENSIBLE with the channel's speakers for more
// than two channels), then every written block, to its standard input. When the
// channel's length is known, the header declares the frames still to come from it (so start
// the encoder before reading the channel), and the data are held to that: frames beyond it
// are dropped, a shortfall of up to 2 seconds is filled with silence when the encoder stops,
// and a larger one makes BASS_Encode_Stop end the child and fail (BASS_ERROR_ENDED).
HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                          void* user);
// Our extension: a FLAC, Opus or Vorbis file, written in-process through FFmpeg, of the
// channel's channels and speakers (Opus and Vorbis in their own layout of the count, side
// surrounds becoming back ones; Opus resampled to 48000 Hz from any other rate). The file is created
// exclusively. BASS_ERROR_NOTAVAIL when the encoder refuses the format (a bitrate it cannot
// give for the rate and channels): no file is created then; BASS_ERROR_CREATE when the file
// cannot be made (LastEncoderErrorText names why).
HENCODE QV_Encode_StartFile(DWORD handle, const QV_ENCODEFORMAT* format, DWORD flags,
                            const char* file);
// Our extension: whether QV_Encode_StartFile takes `format` for a channel of `freq` Hz and
// `chans` channels (of `origres` bits per sample, 0 for lossy and floating-point sources).
BOOL QV_Encode_FileAccepts(DWORD freq, DWORD chans, DWORD origres,
                           const QV_ENCODEFORMAT* format);
BOOL BASS_Encode_Write(DWORD handle, const void* buffer, DWORD length);
// Finishes the output: flushes the encoder, closes the file or the child's input and waits for
// the child. Returns 0 (with the error code set) when the output could not be completed.
BOOL BASS_Encode_Stop(DWORD handle);
// Our extension: finishes the output with what was written although the data end before the
// length the encoder was told (a cancelled conversion keeps its part). Else as BASS_Encode_Stop.
BOOL QV_Encode_StopEarly(DWORD handle);
// Ends one encoder at once without completing its output (a cancelled conversion): an
// encoder's child process is ended (its process group, SIGTERM, then SIGKILL) and reaped.
BOOL BASS_Encode_Abort(DWORD handle);

// WMA encoding into an ASF file. More than two channels (up to 8) are mixed down to stereo,
// so they are offered the stereo bitrates.
const DWORD* BASS_WMA_EncodeGetRates(DWORD freq, DWORD chans, DWORD flags);
HWMENCODE BASS_WMA_EncodeOpenFile(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                  const char* file);
// Our extension: as BASS_WMA_EncodeOpenFile for channels of `speakers` (FFmpeg's AV_CH_* bits
// as QV_ChannelGetSourceInfo gives them; 0 for FFmpeg's default layout of the count), which
// the stereo downmix follows.
HWMENCODE QV_WMA_EncodeOpenFileSpeakers(DWORD freq, DWORD chans, QWORD speakers, DWORD flags,
                                        DWORD bitrate, const char* file);
BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length);
BOOL BASS_WMA_EncodeClose(HWMENCODE handle);
