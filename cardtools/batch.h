// The production line: one reader, cards laid on one after another. Each card is
// personalized from a key file (per-card keys where the file diversifies them),
// committed, switched to the target level and proven key by key; one line per
// card goes to an append-only journal that never holds a key. A card already in
// the journal, or already at the target level with keys that open it, is only
// verified. One process serves one reader; several processes share a journal.
#pragma once

#include <functional>
#include <set>
#include <string>

#include "card.h"
#include "files.h"

namespace cardtools {

struct JournalLine {
  std::string uid;                     // hex
  std::string time;                    // ISO 8601, UTC
  std::string reader;                  // as given with --reader
  std::string result;                  // "done", "already done", "failed", "interrupted"
  std::string step;                    // for a failure: the step that did not finish
  std::string status;                  // for a failure: why, in words
  std::vector<std::string> completed;  // steps that finished before a failure
  int level = -1;                      // the card's level at the end, when known
  Json ToJson() const;
};

// Appends one whole line with a single write under O_APPEND and an exclusive
// lock, then fsync: lines from several processes never interleave and a line
// that was reported is on disk.
bool AppendJournal(const std::string& path, const JournalLine& line, std::string* error);
// The UIDs that the journal records as done or already done and, with
// `unfinished`, those it records as failed or interrupted. A missing journal is
// empty; a torn last line (a crash mid-write) is skipped.
bool JournalDoneUids(const std::string& path, std::set<std::string>* uids, std::string* error,
                     std::set<std::string>* unfinished = nullptr);

struct BatchOptions {
  std::string reader;  // the reader's name, for the journal
  std::string journal;
  int targetLevel = 3;  // 1 or 3
  int count = 0;        // cards to serve; 0: until stopped
  int pollMs = 100;     // how often an empty field or a staying card is asked again
};

struct BatchTotals {
  int done = 0, alreadyDone = 0, failed = 0, interrupted = 0;
  int cards() const { return done + alreadyDone + failed + interrupted; }
};

struct BatchHooks {
  std::function<bool()> stop;                                        // checked between steps
  std::function<void(const JournalLine&, const BatchTotals&)> line;  // after each journal line
};

// Serves cards until `count` cards have a journal line or `hooks.stop` says so;
// a card in the field when the stop comes still gets its line. kIoError when the
// reader or the journal fails.
Result RunBatch(const KeyFile& keys, const BatchOptions& options, const BatchHooks& hooks,
                BatchTotals* totals);

// One card in the field, from activation to its journal line (without waiting
// for it to leave). `done` holds the journal's done UIDs, `unfinished` those of
// cards that failed or were interrupted: such a card is never written again.
JournalLine ServeCard(const CardInfo& info, const KeyFile& keys, const BatchOptions& options,
                      const std::set<std::string>& done,
                      const std::set<std::string>& unfinished = {});

}  // namespace cardtools
