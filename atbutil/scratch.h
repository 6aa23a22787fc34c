// The scratch file that the mod engines work on: a temporary file in a folder of its own, its
// changes not flushed, removed with the folder when done.
#pragma once

#include <memory>
#include <string>

#include "atb/file.h"
#include "atb/patches.h"
#include "atb/system.h"

namespace atb {

class TempScratch : public Scratch {
 public:
  explicit TempScratch(Files& files) : files_(files) {}
  ~TempScratch() override;
  TempScratch(const TempScratch&) = delete;
  TempScratch& operator=(const TempScratch&) = delete;

  Status CopyOf(ByteSource& from, int64_t length, ChangeTarget** target) override;

 private:
  Status Write(ByteSource& from, int64_t length);

  Files& files_;
  std::string dir_, path_;
  std::unique_ptr<AttributeFile> open_;
};

}  // namespace atb
