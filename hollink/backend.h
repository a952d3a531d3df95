// A reader transport behind the Hollink driver interface. HOLLINK_READER picks one.
#pragma once

#include <memory>
#include <string>

namespace hollink {

class Backend {
 public:
  virtual ~Backend() = default;
  // 0 when the reader is ready for frames; otherwise non-zero, with a message on stderr.
  virtual int Open() = 0;
  virtual int Reset() = 0;
  // Sends one whole frame; 0 on success.
  virtual int Write(const unsigned char* buffer, int length, int timeoutMs) = 0;
  // One whole response frame of at most `capacity` bytes: its length, or -1.
  virtual int Read(unsigned char* buffer, int capacity, int timeoutMs) = 0;
};

// "sim" or "sim:OPTIONS": the in-process simulated reader and card.
std::unique_ptr<Backend> MakeSimBackend(const std::string& options, std::string* error);
// "tcp:HOST:PORT" and "serial:DEVICE[@BAUD]": frames over a byte stream.
std::unique_ptr<Backend> MakeTcpBackend(const std::string& address, std::string* error);
std::unique_ptr<Backend> MakeSerialBackend(const std::string& address, std::string* error);
// "pcsc", "pcsc:NAME", "pcsc:NAME,wait=MS": a PC/SC contactless reader (pcsc-lite).
std::unique_ptr<Backend> MakePcscBackend(const std::string& options, std::string* error);

}  // namespace hollink
