#include "card_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace pelkin {

namespace {

constexpr const char* kQueueFormat = "pelkin-sim-queue";
constexpr int kQueueVersion = 1;

}  // namespace

CardQueue::CardQueue(std::vector<CardImage> cards, std::optional<std::uint64_t> seed, Save save,
                     TakeOff takeOff)
    : rng_(seed), save_(std::move(save)), takeOff_(takeOff) {
  for (CardImage& image : cards) cards_.push_back(std::make_unique<Card>(std::move(image), &rng_));
}

std::vector<CardImage> CardQueue::FreshCards(const Variant& variant, int count, Rng& rng) {
  std::vector<CardImage> cards;
  std::set<Bytes> uids;
  while (static_cast<int>(cards.size()) < count) {
    CardImage card = CardImage::Fresh(variant, rng);
    if (uids.insert(card.uid).second) cards.push_back(std::move(card));
  }
  return cards;
}

std::vector<CardImage> CardQueue::images() const {
  std::vector<CardImage> out;
  for (const auto& card : cards_) out.push_back(card->image());
  return out;
}

Card* CardQueue::Current() {
  return position_ < cards_.size() ? cards_[position_].get() : nullptr;
}

void CardQueue::Leave() {
  if (position_ < cards_.size()) ++position_;
  halted_ = false;
  commands_ = 0;
}

void CardQueue::SaveIfChanged() {
  bool changed = false;
  for (auto& card : cards_) changed = card->TakeChanged() || changed;
  if (!changed || !save_) return;
  std::string error;
  if (!save_(images(), &error))
    std::fprintf(stderr, "pelkin-sim: cannot save the card queue: %s\n", error.c_str());
}

bool CardQueue::Supports(CardFeature) const {
  return true;
}

std::optional<std::array<std::uint8_t, 2>> CardQueue::Request(bool wakeUp) {
  Card* card = Current();
  if (card == nullptr) return std::nullopt;
  halted_ = false;
  return card->Request(wakeUp);
}

std::optional<std::array<std::uint8_t, 4>> CardQueue::Anticollision(std::uint8_t selectCode) {
  Card* card = Current();
  return card ? card->Anticollision(selectCode) : std::nullopt;
}

std::optional<std::uint8_t> CardQueue::Select(std::uint8_t selectCode, const std::uint8_t part[4]) {
  Card* card = Current();
  return card ? card->Select(selectCode, part) : std::nullopt;
}

void CardQueue::Halt() {
  Card* card = Current();
  if (card == nullptr) return;
  card->Halt();
  halted_ = true;
}

void CardQueue::PowerCycle() {
  Card* card = Current();
  if (card == nullptr) return;
  card->PowerCycle();
  SaveIfChanged();
  if (halted_) Leave();  // the operator took the halted card off; the next one lies there
}

std::uint8_t CardQueue::AuthenticateCrypto1(bool keyB, int sector, const std::uint8_t key[6]) {
  Card* card = Current();
  return card ? card->AuthenticateCrypto1(keyB, sector, key) : kStNoCard;
}

std::uint8_t CardQueue::ReadBlock(int block, std::uint8_t out[16]) {
  Card* card = Current();
  return card ? card->ReadBlock(block, out) : kStNoCard;
}

std::uint8_t CardQueue::WriteBlock(int block, const std::uint8_t data[16]) {
  Card* card = Current();
  if (card == nullptr) return kStNoCard;
  const std::uint8_t status = card->WriteBlock(block, data);
  SaveIfChanged();
  return status;
}

std::uint8_t CardQueue::Value(std::uint8_t mode, int block, std::int32_t value, int transferBlock) {
  Card* card = Current();
  if (card == nullptr) return kStNoCard;
  const std::uint8_t status = card->Value(mode, block, value, transferBlock);
  SaveIfChanged();
  return status;
}

std::optional<Bytes> CardQueue::Rats(std::uint8_t cid) {
  Card* card = Current();
  return card ? card->Rats(cid) : std::nullopt;
}

bool CardQueue::Pps() {
  Card* card = Current();
  return card != nullptr && card->Pps();
}

bool CardQueue::Deselect() {
  Card* card = Current();
  return card != nullptr && card->Deselect();
}

std::optional<Bytes> CardQueue::Exchange(const Bytes& command) {
  Card* card = Current();
  if (card == nullptr) return std::nullopt;
  if (takeOff_.card == static_cast<int>(position_) + 1 && commands_ >= takeOff_.commands) {
    Leave();  // taken off before the host was done with it: the command finds no card
    return std::nullopt;
  }
  ++commands_;
  auto answer = card->Exchange(command);
  SaveIfChanged();
  return answer;
}

std::optional<RawAnswer> CardQueue::RawExchange(const Bytes& data, int bits) {
  Card* card = Current();
  if (card == nullptr) return std::nullopt;
  auto answer = card->RawExchange(data, bits);
  SaveIfChanged();
  return answer;
}

LoadResult LoadQueue(const std::string& path, std::vector<CardImage>* cards, std::string* error) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return LoadResult::kMissing;
  std::ifstream in(path, std::ios::binary);
  if (!in || status.type() != std::filesystem::file_type::regular) {
    *error = "cannot open card queue file " + path;
    return LoadResult::kError;
  }
  std::stringstream text;
  text << in.rdbuf();
  try {
    const nlohmann::json doc = nlohmann::json::parse(text.str());
    if (!doc.is_object() || doc.value("format", "") != kQueueFormat)
      throw std::runtime_error("not a card queue file (a single card's state file?)");
    if (doc.value("version", 0) != kQueueVersion)
      throw std::runtime_error("unsupported queue version");
    std::vector<CardImage> loaded;
    std::set<Bytes> uids;
    for (nlohmann::json card : doc.at("cards")) {
      // Each card is kept as a single card's state file has it, less the reader's parts.
      card["format"] = "pelkin-sim-card";
      card["version"] = 1;
      card["eeprom"] = std::string(2 * 256, '0');
      loaded.push_back(StateFromJson(card).card);
      if (!uids.insert(loaded.back().uid).second) throw std::runtime_error("a UID comes twice");
    }
    if (loaded.empty()) throw std::runtime_error("no cards");
    *cards = std::move(loaded);
  } catch (const std::exception& e) {
    *error = "card queue file " + path + " is unusable (" + e.what() + ")";
    return LoadResult::kError;
  }
  return LoadResult::kLoaded;
}

bool SaveQueue(const std::string& path, const std::vector<CardImage>& cards, std::string* error) {
  nlohmann::json list = nlohmann::json::array();
  for (const CardImage& card : cards) {
    nlohmann::json entry = StateToJson(StoredState{card, {}});
    entry.erase("format");
    entry.erase("version");
    entry.erase("eeprom");
    list.push_back(entry);
  }
  const nlohmann::json doc = {
      {"format", kQueueFormat}, {"version", kQueueVersion}, {"cards", list}};
  return ReplaceFileAtomically(path, doc.dump(1) + "\n", "card queue file", error);
}

}  // namespace pelkin
