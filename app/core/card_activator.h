// Card activation as the change sequence and the pages ask the window for it.
#pragma once

#include <QString>

class CardActivator {
 public:
  virtual ~CardActivator() = default;
  // 1 when a card is active, 0 otherwise, with the result code through
  // errorOut. cardVariant receives 1 for a MIFARE Plus S card and 128 for any
  // other card after a successful ATS request.
  virtual int Activate(int force, int* errorOut, QString* cardInfoOut, int* cardVariant) = 0;
};
