#include "batch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "diversify.h"
#include "ostrel.h"
#include "status.h"

namespace cardtools {

namespace {

std::string NowIso8601() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Authenticates with every key of the file that the card's level uses and reads
// one block of each sector with it: AES keys at Level 3, CRYPTO1 keys at Level 1.
Result ProveKeys(const CardInfo& info, const KeyFile& keys, int* proven) {
  *proven = 0;
  const int sectors = info.sizeKnown ? SectorCount(info.size) : 40;
  for (const auto& [sector, set] : keys.sectors) {
    if (sector >= sectors) continue;
    for (const bool keyB : {false, true}) {
      BlockKey key;
      key.keyB = keyB;
      if (info.level == 3) {
        const auto& aes = keyB ? set.aesB : set.aesA;
        if (!aes) continue;
        key.key.assign(aes->begin(), aes->end());
      } else {
        const auto& crypto1 = keyB ? set.crypto1B : set.crypto1A;
        if (!crypto1) continue;
        key.key.assign(crypto1->begin(), crypto1->end());
      }
      Block data;
      Result result = ReadBlock(info, FirstBlockOfSector(sector), key, &data);
      if (!result.ok()) {
        char what[48];
        std::snprintf(what, sizeof what, "sector 0x%02X key %c: ", sector, keyB ? 'B' : 'A');
        result.message = what + result.message;
        return result;
      }
      ++*proven;
    }
  }
  // At Level 3 the card master and configuration keys authenticate too (the
  // switch keys serve only below Level 3; 9003 proved itself by the switch).
  if (info.level == 3) {
    for (const std::uint16_t address : {std::uint16_t{0x9000}, std::uint16_t{0x9001}}) {
      const auto found = keys.cardKeys.find(address);
      if (found == keys.cardKeys.end()) continue;
      const std::uint8_t status = PLUSSL3FirstAuth(address, found->second.data());
      if (status != 0) {
        char what[64];
        std::snprintf(what, sizeof what, "card key %04X: ", address);
        return {Outcome::kKeyRefused, status, what + StatusText(status)};
      }
      ++*proven;
    }
  }
  return {};
}

// Whether the card with `uid` is still the one in the field.
bool SameCardInField(const std::string& uid) {
  CardInfo probe;
  const Result result = ActivateCard(&probe, false);
  return result.ok() && ToHex(probe.id.uid) == uid;
}

}  // namespace

Json JournalLine::ToJson() const {
  Json out = {{"uid", uid}, {"time", time}, {"reader", reader}, {"result", result}};
  if (level >= 0) out["level"] = level;
  if (!step.empty()) out["step"] = step;
  if (!status.empty()) out["status"] = status;
  if (!completed.empty() || !step.empty()) out["completed"] = completed;
  return out;
}

bool AppendJournal(const std::string& path, const JournalLine& line, std::string* error) {
  const std::string text = line.ToJson().dump() + "\n";
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open the journal " + path + ": " + std::strerror(errno);
    return false;
  }
  // O_APPEND puts every write at the end; the lock keeps a line whole even where
  // a write could come back short.
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  std::size_t written = 0;
  bool ok = true;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  if (!ok) *error = "cannot write the journal " + path + ": " + std::strerror(errno);
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return ok;
}

bool JournalDoneUids(const std::string& path, std::set<std::string>* uids, std::string* error,
                     std::set<std::string>* unfinished) {
  uids->clear();
  if (unfinished != nullptr) unfinished->clear();
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  std::string text;
  if (!ReadFile(path, &text, error)) return false;
  std::istringstream in(text);
  std::string row;
  while (std::getline(in, row)) {
    const Json entry = Json::parse(row, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) continue;
    const std::string result = entry.value("result", "");
    if (result == "done" || result == "already done") uids->insert(entry.value("uid", ""));
    if (unfinished != nullptr && (result == "failed" || result == "interrupted"))
      unfinished->insert(entry.value("uid", ""));
  }
  return true;
}

JournalLine ServeCard(const CardInfo& first, const KeyFile& keys, const BatchOptions& options,
                      const std::set<std::string>& done, const std::set<std::string>& unfinished) {
  CardInfo info = first;
  JournalLine line;
  line.uid = ToHex(info.id.uid);
  line.reader = options.reader;
  line.level = info.level;
  // A failed step is an interruption when the card is no longer the one in the field.
  auto finish = [&](const std::string& step, const std::string& why) {
    line.step = step;
    line.status = why;
    line.result = SameCardInField(line.uid) ? "failed" : "interrupted";
    line.time = NowIso8601();
    return line;
  };
  KeyFile cardKeys;
  std::string error;
  if (!KeysForCard(keys, info.id.uid, &cardKeys, &error)) return finish("keys", error);
  int proven = 0;
  if (done.count(line.uid) != 0 || info.level == options.targetLevel) {
    const Result result = ProveKeys(info, cardKeys, &proven);
    if (!result.ok()) {
      return finish("verification",
                    (done.count(line.uid) != 0 ? "the journal has the card as done, but "
                                               : "the card is at the target level, but ") +
                        result.message + "; left for the operator");
    }
    line.result = "already done";
    line.time = NowIso8601();
    return line;
  }
  if (unfinished.count(line.uid) != 0) {
    return finish("journal",
                  "the journal has this card as failed or interrupted; left for the operator "
                  "(nothing written)");
  }
  if (info.level != 0) {
    return finish("level check", "the card is at Level " + std::to_string(info.level) +
                                     ", neither fresh (Level 0) nor at Level " +
                                     std::to_string(options.targetLevel) +
                                     "; left for the operator");
  }
  // Everything the card needs comes from the file: refuse before the first write.
  for (std::uint16_t address = 0x9000; address <= 0x9003; ++address) {
    if (cardKeys.cardKeys.count(address) == 0) {
      char text[80];
      std::snprintf(text, sizeof text, "the key file has no card key %04X; nothing written",
                    address);
      return finish("keys", text);
    }
  }
  Result result = Personalize(info, cardKeys, false);
  if (!result.ok()) return finish("personalization", result.message);
  line.completed.push_back("personalized");
  const std::uint8_t status = PLUSCommitPersoTCL();
  if (status != 0) return finish("commit", "commit failed (" + StatusText(status) + ")");
  line.completed.push_back("committed");
  line.level = 1;
  result = ActivateCard(&info);
  if (result.ok() && info.level != 1) {
    result = {Outcome::kIoError, 0,
              "the card is at Level " + std::to_string(info.level) + " after the commit"};
  }
  if (!result.ok()) return finish("activation after commit", result.message);
  if (options.targetLevel == 3) {
    result = SwitchLevel(info, 3, cardKeys.cardKeys.at(0x9003));
    if (!result.ok()) return finish("switch", result.message);
    line.completed.push_back("switched");
    line.level = 3;
    result = ActivateCard(&info);
    if (result.ok() && info.level != 3) {
      result = {Outcome::kIoError, 0,
                "the card is at Level " + std::to_string(info.level) + " after the switch"};
    }
    if (!result.ok()) return finish("activation after switch", result.message);
  }
  result = ProveKeys(info, cardKeys, &proven);
  if (!result.ok()) return finish("verification", result.message);
  line.result = "done";
  line.time = NowIso8601();
  return line;
}

Result RunBatch(const KeyFile& keys, const BatchOptions& options, const BatchHooks& hooks,
                BatchTotals* totals) {
  auto stopping = [&] { return hooks.stop && hooks.stop(); };
  while (options.count == 0 || totals->cards() < options.count) {
    if (stopping()) break;
    CardInfo info;
    const Result found = ActivateCard(&info);
    if (!found.ok()) {
      if (found.status == OSTREL_NO_RESPONSE) return found;  // the reader itself is gone
      Sleep(options.pollMs);  // an empty field, or a card on its way in
      continue;
    }
    std::set<std::string> done, unfinished;
    std::string error;
    // Read again for every card: other readers' processes append to it too.
    if (!JournalDoneUids(options.journal, &done, &error, &unfinished))
      return {Outcome::kIoError, 0, error};
    const JournalLine line = ServeCard(info, keys, options, done, unfinished);
    if (!AppendJournal(options.journal, line, &error)) return {Outcome::kIoError, 0, error};
    if (line.result == "done") ++totals->done;
    if (line.result == "already done") ++totals->alreadyDone;
    if (line.result == "failed") ++totals->failed;
    if (line.result == "interrupted") ++totals->interrupted;
    if (hooks.line) hooks.line(line, *totals);
    // The card leaves: halted and the field reset, it must not answer again (a
    // real card stays until the operator takes it off).
    // A card that is gone already (taken off, the next one lying there) is not
    // looked at again: halting would send the next card away too.
    while (!stopping() && SameCardInField(line.uid)) {
      PiccHalt();
      ReaderReset(0);
      if (!SameCardInField(line.uid)) break;
      Sleep(options.pollMs);
    }
  }
  return {};
}

}  // namespace cardtools
