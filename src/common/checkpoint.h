// Checkpoint: how a long core operation asks its caller, between two steps
// that leave the index consistent, whether to go on. The core calls
// keep_going() often (every insertion, every tile of queries); the
// implementation decides how often it really looks (the module looks for
// signals every few tens of milliseconds). Once it returns false the
// operation stops at that point and reports how far it got.
//
// Thread-safety: keep_going() is called only by the thread that started the
// operation.
#pragma once

namespace tamsel {

class Checkpoint {
 public:
  virtual ~Checkpoint() = default;
  virtual bool keep_going() = 0;
};

// Never stops anything.
class NoCheckpoint final : public Checkpoint {
 public:
  bool keep_going() override { return true; }
};

}  // namespace tamsel
