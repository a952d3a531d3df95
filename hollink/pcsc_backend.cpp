// "pcsc[:NAME][,wait=MS]": a PC/SC contactless reader behind the Pelkin reader
// model. pcsc-lite is loaded when such a reader is opened, so the other readers
// work without it installed.
//
// SCardTransmit has no time-out of its own: an APDU that the reader or its driver
// never answers blocks the caller (the host's read time-out does not apply).
#include "backend.h"

#ifndef HOLLINK_HAVE_PCSC

namespace hollink {

std::unique_ptr<Backend> MakePcscBackend(const std::string&, std::string* error) {
  *error = "this libhollink.so was built without PC/SC support (needs libpcsclite-dev)";
  return nullptr;
}

}  // namespace hollink

#else

#include <dlfcn.h>
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "pcsc_card.h"
#include "reader.h"

namespace hollink {
namespace {

using Clock = std::chrono::steady_clock;

// Another program holding the card gets this long to let it go.
constexpr int kSharingRetryMs = 1000;
constexpr DWORD kAnswerCapacity = 4096;

// The pcsc-lite entry points the backend uses, bound at open.
struct PcscLite {
  void* handle = nullptr;
  decltype(&::SCardEstablishContext) establish = nullptr;
  decltype(&::SCardReleaseContext) release = nullptr;
  decltype(&::SCardListReaders) list = nullptr;
  decltype(&::SCardGetStatusChange) statusChange = nullptr;
  decltype(&::SCardConnect) connect = nullptr;
  decltype(&::SCardReconnect) reconnect = nullptr;
  decltype(&::SCardDisconnect) disconnect = nullptr;
  decltype(&::SCardStatus) status = nullptr;
  decltype(&::SCardTransmit) transmit = nullptr;
  decltype(&::pcsc_stringify_error) text = nullptr;

  ~PcscLite() {
    if (handle != nullptr) ::dlclose(handle);
  }

  bool Load(std::string* error) {
    handle = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      *error =
          std::string("PC/SC is not available (install pcscd and libpcsclite1): ") + ::dlerror();
      return false;
    }
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)> >(::dlsym(handle, name));
      ok = ok && fn != nullptr;
    };
    bind(establish, "SCardEstablishContext");
    bind(release, "SCardReleaseContext");
    bind(list, "SCardListReaders");
    bind(statusChange, "SCardGetStatusChange");
    bind(connect, "SCardConnect");
    bind(reconnect, "SCardReconnect");
    bind(disconnect, "SCardDisconnect");
    bind(status, "SCardStatus");
    bind(transmit, "SCardTransmit");
    bind(text, "pcsc_stringify_error");
    if (!ok) *error = "libpcsclite.so.1 lacks a PC/SC function";
    return ok;
  }

  std::string Text(LONG rc) const { return text != nullptr ? text(rc) : std::to_string(rc); }
};

class PcscLiteLink : public PcscLink {
 public:
  PcscLiteLink(std::shared_ptr<PcscLite> api, SCARDCONTEXT context, std::string reader)
      : api_(std::move(api)), context_(context), reader_(std::move(reader)) {}

  ~PcscLiteLink() override {
    // No authenticated session is left behind for the next program.
    if (connected_) api_->disconnect(card_, SCARD_RESET_CARD);
    api_->release(context_);
  }

  std::string ReaderName() const override { return reader_; }
  int Generation() const override { return generation_; }

  // Exclusive connection, with a short wait while another program holds the card.
  LONG Connect() {
    if (connected_) return SCARD_S_SUCCESS;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSharingRetryMs);
    for (;;) {
      LONG rc = api_->connect(context_, reader_.c_str(), SCARD_SHARE_EXCLUSIVE,
                              SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_);
      if (rc == SCARD_S_SUCCESS) {
        connected_ = true;
        return rc;
      }
      if (rc != SCARD_E_SHARING_VIOLATION || Clock::now() >= deadline) {
        if (rc == SCARD_E_SHARING_VIOLATION) {
          std::fprintf(stderr, "hollink: pcsc: %s is in use by another program\n", reader_.c_str());
        }
        return rc;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  long ResetCard(Bytes* atr) override {
    // The service or the reader went away: a new context finds it again if it is back.
    if (stale_) {
      SCARDCONTEXT context = 0;
      LONG rc = api_->establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
      if (rc != SCARD_S_SUCCESS) return rc;
      api_->release(context_);
      context_ = context;
      stale_ = false;
      ++generation_;
    }
    LONG rc = Connect();
    if (Gone(rc)) Lose();
    if (rc != SCARD_S_SUCCESS) return rc;
    rc = api_->reconnect(card_, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                         SCARD_RESET_CARD, &protocol_);
    if (rc == SCARD_S_SUCCESS) {
      BYTE buffer[MAX_ATR_SIZE];
      DWORD atrLength = sizeof buffer, state = 0, protocol = 0, nameLength = 0;
      rc = api_->status(card_, nullptr, &nameLength, &state, &protocol, buffer, &atrLength);
      if (rc == SCARD_S_SUCCESS) atr->assign(buffer, buffer + atrLength);
    }
    if (rc != SCARD_S_SUCCESS && trace_)
      std::fprintf(stderr, "hollink: pcsc reset: %s\n", api_->Text(rc).c_str());
    if (Gone(rc)) Lose();
    if (rc != SCARD_S_SUCCESS) Drop();
    return rc;
  }

  long Transmit(const Bytes& apdu, Bytes* answer) override {
    if (!connected_) return SCARD_E_NO_SMARTCARD;
    SCARD_IO_REQUEST send{protocol_, sizeof(SCARD_IO_REQUEST)};
    std::vector<BYTE> buffer(kAnswerCapacity);
    DWORD length = kAnswerCapacity;
    LONG rc = api_->transmit(card_, &send, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                             buffer.data(), &length);
    if (rc != SCARD_S_SUCCESS && trace_)
      std::fprintf(stderr, "hollink: pcsc transmit: %s\n", api_->Text(rc).c_str());
    if (rc != SCARD_S_SUCCESS) {
      // Removed or reset by someone else: the next request connects again.
      if (rc == SCARD_W_REMOVED_CARD || rc == SCARD_W_RESET_CARD || rc == SCARD_E_NO_SMARTCARD)
        Drop();
      // pcscd restarted or the reader unplugged: the next request connects afresh.
      if (Gone(rc)) Lose();
      return rc;
    }
    answer->assign(buffer.begin(), buffer.begin() + length);
    if (trace_) {
      std::fprintf(stderr, "hollink: pcsc >");
      for (std::uint8_t b : apdu) std::fprintf(stderr, " %02X", b);
      std::fprintf(stderr, "\nhollink: pcsc <");
      for (std::uint8_t b : *answer) std::fprintf(stderr, " %02X", b);
      std::fprintf(stderr, "\n");
    }
    return rc;
  }

 private:
  static bool Gone(LONG rc) {
    return rc == SCARD_E_NO_SERVICE || rc == SCARD_E_SERVICE_STOPPED ||
           rc == SCARD_E_READER_UNAVAILABLE || rc == SCARD_E_UNKNOWN_READER ||
           rc == SCARD_E_INVALID_HANDLE || rc == SCARD_F_COMM_ERROR ||
           rc == SCARD_E_NO_READERS_AVAILABLE;
  }
  void Lose() {
    Drop();
    stale_ = true;
  }
  void Drop() {
    if (connected_) api_->disconnect(card_, SCARD_LEAVE_CARD);
    connected_ = false;
  }

  std::shared_ptr<PcscLite> api_;
  SCARDCONTEXT context_;
  std::string reader_;
  bool connected_ = false;
  bool stale_ = false;
  // HOLLINK_PCSC_TRACE=1: every APDU and its answer on stderr (keys included).
  bool trace_ = std::getenv("HOLLINK_PCSC_TRACE") != nullptr;
  int generation_ = 0;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = 0;
};

class PcscBackend : public Backend {
 public:
  explicit PcscBackend(std::string options) : options_(std::move(options)) {}

  int Open() override {
    std::string prefix;
    long waitMs = 0;
    if (!ParseOptions(&prefix, &waitMs)) return 2;
    auto api = std::make_shared<PcscLite>();
    std::string error;
    if (!api->Load(&error)) return Fail(error, 3);
    SCARDCONTEXT context = 0;
    LONG rc = api->establish(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS)
      return Fail("no PC/SC service (is pcscd running?): " + api->Text(rc), 4);
    std::string reader;
    rc = FindReader(*api, context, prefix, &reader, &error);
    if (rc != SCARD_S_SUCCESS) {
      api->release(context);
      return Fail(error, 5);
    }
    auto link = std::make_unique<PcscLiteLink>(api, context, reader);
    if (waitMs > 0 && !WaitForCard(*api, context, reader, waitMs)) {
      return Fail("no card on " + reader + " within " + std::to_string(waitMs) + " ms", 6);
    }
    // A card that is there already is taken now, so a busy reader shows at open.
    rc = link->Connect();
    if (rc == SCARD_E_SHARING_VIOLATION) return Fail(reader + " is in use by another program", 7);
    reader_ = std::make_unique<pelkin::Reader>(std::make_unique<PcscCard>(std::move(link)),
                                               pelkin::Eeprom{});
    return 0;
  }

  int Reset() override {
    pending_.clear();
    return reader_ ? 0 : 1;
  }

  int Write(const unsigned char* buffer, int length, int) override {
    if (!reader_) return 1;
    pending_.clear();
    pelkin::Reply reply = reader_->Handle(buffer, static_cast<std::size_t>(length));
    if (!reply.frame.empty()) pending_.push_back(std::move(reply.frame));
    return 0;
  }

  int Read(unsigned char* buffer, int capacity, int) override {
    if (pending_.empty()) return -1;
    Bytes frame = std::move(pending_.front());
    pending_.pop_front();
    if (frame.size() > static_cast<std::size_t>(capacity)) return -1;
    std::memcpy(buffer, frame.data(), frame.size());
    return static_cast<int>(frame.size());
  }

 private:
  static int Fail(const std::string& message, int code) {
    std::fprintf(stderr, "hollink: pcsc: %s\n", message.c_str());
    return code;
  }

  // NAME (a prefix of the reader's name) and wait=MS, separated by commas.
  bool ParseOptions(std::string* prefix, long* waitMs) const {
    std::size_t start = 0;
    while (start < options_.size()) {
      std::size_t comma = options_.find(',', start);
      if (comma == std::string::npos) comma = options_.size();
      const std::string item = options_.substr(start, comma - start);
      start = comma + 1;
      if (item.rfind("wait=", 0) == 0) {
        char* end = nullptr;
        *waitMs = std::strtol(item.c_str() + 5, &end, 10);
        if (item.size() == 5 || *end != '\0' || *waitMs < 0 || *waitMs > 600000) {
          Fail("option '" + item + "': expected milliseconds up to 600000", 0);
          return false;
        }
      } else if (!item.empty()) {
        *prefix = item;
      }
    }
    return true;
  }

  static LONG FindReader(const PcscLite& api, SCARDCONTEXT context, const std::string& prefix,
                         std::string* reader, std::string* error) {
    DWORD size = 0;
    LONG rc = api.list(context, nullptr, nullptr, &size);
    std::vector<char> names(size + 1, '\0');
    if (rc == SCARD_S_SUCCESS) rc = api.list(context, nullptr, names.data(), &size);
    if (rc != SCARD_S_SUCCESS && rc != SCARD_E_NO_READERS_AVAILABLE) {
      *error = "cannot list the readers: " + api.Text(rc);
      return rc;
    }
    std::vector<std::string> all;
    for (const char* name = names.data(); rc == SCARD_S_SUCCESS && *name != '\0';
         name += std::strlen(name) + 1)
      all.emplace_back(name);
    // The card each slot holds tells a contactless slot from a SAM or contact slot.
    std::vector<Bytes> atrs(all.size());
    for (std::size_t i = 0; prefix.empty() && i < all.size(); ++i) {
      SCARD_READERSTATE state{};
      state.szReader = all[i].c_str();
      state.dwCurrentState = SCARD_STATE_UNAWARE;
      if (api.statusChange(context, 0, &state, 1) == SCARD_S_SUCCESS &&
          (state.dwEventState & SCARD_STATE_PRESENT) != 0)
        atrs[i].assign(state.rgbAtr, state.rgbAtr + state.cbAtr);
    }
    const int chosen = ChooseReader(all, atrs, prefix);
    if (chosen >= 0) {
      *reader = all[static_cast<std::size_t>(chosen)];
      return SCARD_S_SUCCESS;
    }
    std::string list;
    for (const std::string& name : all) list += list.empty() ? name : ", " + name;
    *error = all.empty() ? "no PC/SC reader is connected"
                         : "no reader's name starts with '" + prefix + "' (readers: " + list + ")";
    return SCARD_E_UNKNOWN_READER;
  }

  static bool WaitForCard(const PcscLite& api, SCARDCONTEXT context, const std::string& reader,
                          long waitMs) {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      LONG rc = api.statusChange(context, static_cast<DWORD>(left > 0 ? left : 0), &state, 1);
      if (rc == SCARD_S_SUCCESS && (state.dwEventState & SCARD_STATE_PRESENT) != 0) return true;
      if ((rc != SCARD_S_SUCCESS && rc != SCARD_E_TIMEOUT) || left <= 0) return false;
      state.dwCurrentState = state.dwEventState;
    }
  }

  std::string options_;
  std::unique_ptr<pelkin::Reader> reader_;
  std::deque<Bytes> pending_;
};

}  // namespace

std::unique_ptr<Backend> MakePcscBackend(const std::string& options, std::string*) {
  return std::make_unique<PcscBackend>(options);
}

}  // namespace hollink

#endif  // HOLLINK_HAVE_PCSC
