// WAV reading and writing through libsndfile (see wav_io.h).
#include "tools/host/wav_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"

namespace host {

namespace {

// Blocks handed to libsndfile at once: it does not buffer writes itself,
// and the device delivers a packet (a few hundred bytes) at a time.
constexpr size_t kWriteBlockBytes = 64 * 1024;

// Speaker position bits of a channel mask and libsndfile's channel names,
// bit by bit (libsndfile names the first three LEFT, RIGHT and CENTER in
// extensible files).
constexpr int kSpeakerMap[] = {
    SF_CHANNEL_MAP_LEFT,           SF_CHANNEL_MAP_RIGHT,          SF_CHANNEL_MAP_CENTER,
    SF_CHANNEL_MAP_LFE,            SF_CHANNEL_MAP_REAR_LEFT,      SF_CHANNEL_MAP_REAR_RIGHT,
    SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, SF_CHANNEL_MAP_REAR_CENTER,
    SF_CHANNEL_MAP_SIDE_LEFT,      SF_CHANNEL_MAP_SIDE_RIGHT,     SF_CHANNEL_MAP_TOP_CENTER,
    SF_CHANNEL_MAP_TOP_FRONT_LEFT, SF_CHANNEL_MAP_TOP_FRONT_CENTER, SF_CHANNEL_MAP_TOP_FRONT_RIGHT,
    SF_CHANNEL_MAP_TOP_REAR_LEFT,  SF_CHANNEL_MAP_TOP_REAR_CENTER, SF_CHANNEL_MAP_TOP_REAR_RIGHT,
};
constexpr int kSpeakerCount = sizeof(kSpeakerMap) / sizeof(kSpeakerMap[0]);

ULONG DefaultMask(int channels) { return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1; }

// The file's channel mask: its channel map where it has one that names
// speaker positions only, else the first positions in order.
ULONG ChannelMask(SNDFILE* file, int channels) {
    std::vector<int> map((size_t)channels);
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), (int)(map.size() * sizeof(int))) != SF_TRUE)
        return DefaultMask(channels);
    ULONG mask = 0;
    for (int position : map) {
        int bit = 0;
        while (bit < kSpeakerCount && kSpeakerMap[bit] != position) bit++;
        if (bit == kSpeakerCount || (mask & (1u << bit))) return DefaultMask(channels);
        mask |= 1u << bit;
    }
    return mask;
}

// Container bits and sub-format of a libsndfile sub-type; 0 bits for one
// the host does not stream.
int ContainerBits(int subtype, bool* isFloat) {
    *isFloat = subtype == SF_FORMAT_FLOAT;
    switch (subtype) {
        case SF_FORMAT_PCM_U8: return 8;
        case SF_FORMAT_PCM_16: return 16;
        case SF_FORMAT_PCM_24: return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT: return 32;
        default: return 0;
    }
}

WAVEFORMATEXTENSIBLE Extensible(int channels, int rate, int bits, bool isFloat, ULONG mask) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = (WORD)channels;
    f.Format.nSamplesPerSec = (DWORD)rate;
    f.Format.nBlockAlign = (WORD)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * (DWORD)rate;
    f.Format.wBitsPerSample = (WORD)bits;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = (WORD)bits;
    f.dwChannelMask = mask;
    SetWaveSubFormat(&f, isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
    return f;
}

// The valid bits of an extensible file's samples, from libsndfile's header
// log ("Valid Bits : N"; libsndfile has no call for them), or 0 when the
// log has none.
int ValidBits(SNDFILE* file) {
    char log[4096] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof(log));
    const char* line = std::strstr(log, "\n  Valid Bits");
    unsigned bits = 0;
    if (line == nullptr || std::sscanf(std::strchr(line, ':') + 1, "%u", &bits) != 1) return 0;
    return (int)bits;
}

// The file's format: an extensible integer file whose valid bits are
// fewer than its container keeps them (24 bits in 32, say).
WAVEFORMATEXTENSIBLE FileFormat(SNDFILE* file, const SF_INFO& info, int bits, bool isFloat) {
    WAVEFORMATEXTENSIBLE f = Extensible(info.channels, info.samplerate, bits, isFloat, ChannelMask(file, info.channels));
    const int valid = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX && !isFloat ? ValidBits(file) : 0;
    if (valid > 0 && valid < bits) f.Samples.wValidBitsPerSample = (WORD)valid;
    return f;
}

std::string SystemError(const std::string& what, const std::string& path, int error) {
    return "cannot " + what + " " + path + ": " + std::strerror(error);
}

// libsndfile's header log says "data : DECLARED (should be ACTUAL)" for a
// data chunk that runs past the end of the file; the warning for it.
std::string TruncationWarning(SNDFILE* file, const std::string& path) {
    char log[4096] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof(log));
    const char* line = std::strstr(log, "\ndata : ");
    unsigned long long declared = 0, actual = 0;
    if (line == nullptr || std::sscanf(line, "\ndata : %llu (should be %llu)", &declared, &actual) != 2) return "";
    return path + ": the data chunk declares " + std::to_string(declared) + " bytes, the file holds " +
           std::to_string(actual) + "; playing the whole frames present";
}

// Closes what OpenForReading opened.
void CloseFile(SNDFILE* file, int fd) {
    if (file) sf_close(file);
    if (fd >= 0) close(fd);
}

// Opens path for reading with the checks common to both readers; the
// descriptor stays ours (*fd) so that every path closes it exactly once.
SNDFILE* OpenForReading(const std::string& path, SF_INFO* info, int* fd, std::string* error) {
    *fd = -1;
    *error = DirectoryError(path);
    if (!error->empty()) return nullptr;
    *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (*fd < 0) {
        *error = SystemError("open", path, errno);
        return nullptr;
    }
    *info = SF_INFO();
    SNDFILE* file = sf_open_fd(*fd, SFM_READ, info, SF_FALSE);
    if (file == nullptr) {
        *error = path + ": " + sf_strerror(nullptr);
        CloseFile(nullptr, *fd);
        *fd = -1;
        return nullptr;
    }
    const int major = info->format & SF_FORMAT_TYPEMASK;
    if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX) {
        *error = path + ": not a RIFF WAVE file";
    } else if (info->channels < 1 || info->channels > 32) {
        *error = path + ": channel count " + std::to_string(info->channels);
    } else if (info->samplerate < 1000 || info->samplerate > 768000) {
        *error = path + ": sample rate " + std::to_string(info->samplerate);
    }
    if (!error->empty()) {
        CloseFile(file, *fd);
        *fd = -1;
        return nullptr;
    }
    return file;
}

}  // namespace

std::string DirectoryError(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? path + " is a directory" : "";
}

// ---- reading ----------------------------------------------------------------

WavReader::~WavReader() { CloseFile(m_File, m_Fd); }

bool WavReader::Open(const std::string& path, std::string* error) {
    SF_INFO info;
    m_File = OpenForReading(path, &info, &m_Fd, error);
    if (m_File == nullptr) return false;
    bool isFloat = false;
    const int bits = ContainerBits(info.format & SF_FORMAT_SUBMASK, &isFloat);
    if (bits == 0) {
        *error = path + ": sample format not read (8, 16, 24 or 32-bit integer PCM, or 32-bit float)";
        return false;
    }
    m_Path = path;
    m_Format = FileFormat(m_File, info, bits, isFloat);
    m_Frames = info.frames > 0 ? (uint64_t)info.frames : 0;
    m_Warning = TruncationWarning(m_File, path);
    return true;
}

size_t WavReader::Read(uint8_t* out, size_t maxBytes) {
    const size_t block = m_Format.Format.nBlockAlign;
    if (m_File == nullptr || m_Failed || block == 0) return 0;
    uint64_t frames = std::min<uint64_t>(maxBytes / block, m_Frames - m_FramesRead);
    if (frames == 0) return 0;
    const sf_count_t got = sf_read_raw(m_File, out, (sf_count_t)(frames * block));
    if (got != (sf_count_t)(frames * block)) {
        m_Failed = true;
        return 0;
    }
    m_FramesRead += frames;
    return (size_t)got;
}

bool ReadWavSamples(const std::string& path, size_t maxSamples, WAVEFORMATEXTENSIBLE* format,
                    std::vector<int32_t>* samples, std::string* error) {
    SF_INFO info;
    int fd = -1;
    SNDFILE* file = OpenForReading(path, &info, &fd, error);
    if (file == nullptr) return false;
    bool isFloat = false;
    const int bits = ContainerBits(info.format & SF_FORMAT_SUBMASK, &isFloat);
    const uint64_t count = (uint64_t)(info.frames > 0 ? info.frames : 0) * (uint64_t)info.channels;
    if (bits == 0) {
        *error = path + ": sample format not read (8, 16, 24 or 32-bit integer PCM, or 32-bit float)";
    } else if (count > maxSamples) {
        *error = path + ": more than " + std::to_string(maxSamples) + " samples";
    } else {
        *format = FileFormat(file, info, bits, isFloat);
        samples->assign((size_t)count, 0);
        sf_command(file, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_TRUE);
        if (sf_readf_int(file, samples->data(), info.frames) != info.frames) *error = path + ": cannot read the samples";
    }
    CloseFile(file, fd);
    return error->empty();
}

// ---- writing ----------------------------------------------------------------

namespace {

// Links followed before an output path is refused as a loop.
constexpr int kMaxLinks = 40;

std::string Directory(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

const char* KindName(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// The file an output path has the WAV written to: the path itself when it
// names a regular file or nothing, the final target of a symbolic link.
// Anything else (a device, a FIFO, a socket, "-") is refused: a WAV file's
// header is completed when it ends, so it goes to a file that replaces
// the old one whole.
bool OutputTarget(const std::string& path, std::string* target, std::string* error) {
    if (path == "-") {
        *error = "cannot write -: a WAV file is written to a named file, not to standard output";
        return false;
    }
    std::string at = path;
    for (int links = 0;; links++) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0) {
            if (errno == ENOENT) break;  // a new file; a missing directory is named when it is created
            *error = SystemError("write", path, errno);
            return false;
        }
        if (S_ISREG(st.st_mode)) break;
        if (S_ISDIR(st.st_mode)) {
            *error = path + " is a directory";
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            *error = "cannot write " + path + ": it is " + KindName(st.st_mode) +
                     ", not a regular file (left as it is)";
            return false;
        }
        std::vector<char> link((size_t)PATH_MAX + 1);
        const ssize_t n = readlink(at.c_str(), link.data(), link.size() - 1);
        if (n < 0 || links == kMaxLinks) {
            *error = SystemError("write", path, n < 0 ? errno : ELOOP);
            return false;
        }
        const std::string next(link.data(), (size_t)n);
        at = next[0] == '/' ? next : Directory(at) + "/" + next;
    }
    *target = at;
    return true;
}

// A new file beside target under a name no other run takes (created
// exclusively); its descriptor, or -1 with errno set.
int CreateTemporary(const std::string& target, std::string* temp) {
    std::random_device seed;
    std::mt19937 random(seed());
    const size_t slash = target.find_last_of('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; attempt++) {
        char tag[16];
        std::snprintf(tag, sizeof(tag), "%08x", (unsigned)random());
        *temp = dir + "." + base + "." + tag + ".tmp";
        const int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// libsndfile's sub-type for samples of format f, or 0; pack: samples of at
// most 24 valid bits in 32-bit containers, written as 24-bit PCM.
int WriteSubtype(const WAVEFORMATEXTENSIBLE& f, bool* pack) {
    const bool isFloat = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && WaveSubFormat(f) == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    const WORD valid = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? f.Samples.wValidBitsPerSample : f.Format.wBitsPerSample;
    *pack = false;
    switch (f.Format.wBitsPerSample) {
        case 8: return isFloat ? 0 : SF_FORMAT_PCM_U8;
        case 16: return isFloat ? 0 : SF_FORMAT_PCM_16;
        case 24: return isFloat ? 0 : SF_FORMAT_PCM_24;
        case 32:
            if (isFloat) return SF_FORMAT_FLOAT;
            *pack = valid > 0 && valid <= 24;
            return *pack ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_32;
        default: return 0;
    }
}

}  // namespace

WavWriter::~WavWriter() { Discard(); }

void WavWriter::Discard() {
    if (m_File == nullptr && m_Fd < 0) return;
    CloseFile(m_File, m_Fd);
    m_File = nullptr;
    m_Fd = -1;
    unlink(m_Temp.c_str());
}

bool WavWriter::Open(const std::string& path, const WAVEFORMATEXTENSIBLE& f, std::string* error) {
    *error = DirectoryError(path);
    if (!error->empty()) return false;
    m_Path = path;
    if (!SetFormat(f, error)) return false;
    std::string target;
    if (!OutputTarget(path, &target, error)) return false;
    m_Target = target;
    m_Fd = CreateTemporary(target, &m_Temp);
    if (m_Fd < 0) {
        const int reason = errno;
        struct stat st;
        const std::string dir = Directory(target);
        // A directory that exists but takes no new file is named as the
        // cause, not the file the user gave.
        *error = stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                     ? "cannot write " + path + ": cannot create a file in " + dir + ": " + std::strerror(reason)
                     : SystemError("write", path, reason);
        return false;
    }
    return true;
}

bool WavWriter::SetFormat(const WAVEFORMATEXTENSIBLE& f, std::string* error) {
    if (m_File != nullptr || m_Written != 0) {
        *error = "cannot write " + m_Path + ": its format is set before the first sample";
        return false;
    }
    bool pack = false;
    if (WriteSubtype(f, &pack) == 0) {
        *error = "cannot write " + m_Path + ": " + std::to_string(f.Format.wBitsPerSample) + "-bit samples";
        return false;
    }
    m_Format = f;
    m_Pack = pack;
    return true;
}

bool WavWriter::Begin() {
    if (m_File != nullptr) return true;
    const WAVEFORMATEXTENSIBLE& f = m_Format;
    bool pack = false;
    const int subtype = WriteSubtype(f, &pack);
    const bool plain = f.Format.nChannels <= 2 && f.Format.wBitsPerSample <= 16;
    SF_INFO info = {};
    info.samplerate = (int)f.Format.nSamplesPerSec;
    info.channels = f.Format.nChannels;
    info.format = (plain ? SF_FORMAT_WAV : SF_FORMAT_WAVEX) | subtype;
    m_File = sf_open_fd(m_Fd, SFM_WRITE, &info, SF_FALSE);
    if (m_File == nullptr) {
        m_Error = "cannot write " + m_Path + ": " + sf_strerror(nullptr);
        return false;
    }
    std::vector<int> map;
    for (int bit = 0; bit < kSpeakerCount; bit++)
        if (f.dwChannelMask & (1u << bit)) map.push_back(kSpeakerMap[bit]);
    if (!plain && map.size() == f.Format.nChannels)
        sf_command(m_File, SFC_SET_CHANNEL_MAP_INFO, map.data(), (int)(map.size() * sizeof(int)));
    return true;
}

bool WavWriter::Write(const uint8_t* data, size_t bytes) {
    if (m_Fd < 0 || !m_Error.empty() || !Begin()) return false;
    if (m_Pack) {
        // The top three bytes of each little-endian 32-bit sample: the
        // valid bits and the zero bits below them, nothing lost.
        for (size_t i = 0; i + 4 <= bytes; i += 4) m_Buffer.insert(m_Buffer.end(), data + i + 1, data + i + 4);
    } else {
        m_Buffer.insert(m_Buffer.end(), data, data + bytes);
    }
    m_Written += bytes;
    return m_Buffer.size() < kWriteBlockBytes || Flush();
}

bool WavWriter::Flush() {
    errno = 0;
    if (!m_Buffer.empty() && sf_write_raw(m_File, m_Buffer.data(), (sf_count_t)m_Buffer.size()) != (sf_count_t)m_Buffer.size())
        m_Error = errno ? SystemError("write", m_Path, errno) : "cannot write " + m_Path + ": " + sf_strerror(m_File);
    m_Buffer.clear();
    return m_Error.empty();
}

bool WavWriter::Finish(std::string* error) {
    if (m_Fd < 0) {
        *error = m_Error.empty() ? "cannot write " + m_Path + ": not open" : m_Error;
        return false;
    }
    if (m_Error.empty() && Begin() && Flush()) {
        // sf_close writes the final header sizes; close(2) reports what
        // the file system could not store.
        const int closed = sf_close(m_File);
        m_File = nullptr;
        errno = 0;
        const int fdClosed = close(m_Fd);
        m_Fd = -1;
        if (closed != 0) {
            m_Error = "cannot write " + m_Path + ": " + sf_error_number(closed);
        } else if (fdClosed != 0) {
            m_Error = SystemError("write", m_Path, errno);
        } else if (std::rename(m_Temp.c_str(), m_Target.c_str()) != 0) {
            m_Error = SystemError("rename " + m_Temp + " to", m_Target, errno);
        }
        if (!m_Error.empty()) unlink(m_Temp.c_str());
    }
    Discard();
    *error = m_Error;
    return m_Error.empty();
}

}  // namespace host
