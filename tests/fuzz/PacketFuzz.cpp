// Fuzz target: the fuzzer's bytes choose the assembler's settings, hooks, raising handlers and
// a sequence of blocks and setting changes; the assembler must record exactly the events of the
// literal model. Any difference aborts with both recordings printed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../unit/packet/PacketModel.h"

using namespace comfind;

namespace {

// Small numbers from the input, one byte each; zeros once it is used up.
struct TByteSource {
  const uint8_t* Data;
  size_t Size;
  uint32_t Next(uint32_t N) {
    if (Size == 0) return 0;
    const uint32_t v = *Data++;
    --Size;
    return v % N;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TByteSource src{Data, Size};
  const packet_model::TScenario s = packet_model::MakeScenario(src);
  const auto [model, real] = packet_model::RunScenario(s);
  if (model != real) {
    std::fprintf(stderr, "model:     %s\nassembler: %s\n", packet_model::Describe(model).c_str(),
                 packet_model::Describe(real).c_str());
    std::abort();
  }
  return 0;
}
