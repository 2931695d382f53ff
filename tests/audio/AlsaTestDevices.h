#pragma once
// ALSA devices for tests on machines without a sound card: a configuration
// file whose default capture device (type file over null) reads a raw file
// the test writes, whose default playback device writes what it plays to
// another raw file, and a device that does not exist. ALSA is pointed at it
// through ALSA_CONFIG_PATH before any ALSA call of the process.
//
// Neither device has a clock: capture runs as fast as it is read.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

class AlsaTestDevices {
public:
    static constexpr const char* kMissingDevice = "tarvex_nodevice";

    static AlsaTestDevices& Get() {
        static AlsaTestDevices devices;
        return devices;
    }

    std::string CaptureFile() const { return m_dir + "/capture.raw"; }
    // What the default playback device was given (16-bit samples as opened).
    std::string PlaybackFile() const { return m_dir + "/playback.raw"; }

    // The samples the default capture device delivers from its next opening.
    void WriteCapture(const std::vector<int16_t>& interleaved) const {
        std::ofstream out(CaptureFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(interleaved.data()),
                  std::streamsize(interleaved.size() * sizeof(int16_t)));
        if (!out) throw std::runtime_error("cannot write " + CaptureFile());
    }

    ~AlsaTestDevices() {
        unlink(CaptureFile().c_str());
        unlink(PlaybackFile().c_str());
        unlink((m_dir + "/asoundrc").c_str());
        rmdir(m_dir.c_str());
    }

private:
    AlsaTestDevices() {
        char pattern[] = "/tmp/tarvex-alsa-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        m_dir = pattern;
        WriteCapture({});
        const std::string rc = m_dir + "/asoundrc";
        std::ofstream out(rc);
        out << "pcm.!default {\n"
               "  type asym\n"
               "  playback.pcm {\n"
               "    type file\n"
               "    slave.pcm \"null\"\n"
               "    file \""
            << PlaybackFile()
            << "\"\n"
               "    format \"raw\"\n"
               "  }\n"
               "  capture.pcm {\n"
               "    type file\n"
               "    slave.pcm \"null\"\n"
               "    file \"/dev/null\"\n"
               "    infile \""
            << CaptureFile()
            << "\"\n"
               "    format \"raw\"\n"
               "  }\n"
               "}\n"
               "pcm."
            << kMissingDevice
            << " {\n"
               "  type hw\n"
               "  card 31\n"
               "}\n";
        out.close();
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + rc).c_str(), 1);
    }

    std::string m_dir;
};
