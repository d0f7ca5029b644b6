// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's receive side (handshake and frame parser) on any byte stream. The first byte
// chooses a few faults and whether the line goes quiet between bytes.

#include <chrono>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "Simulator.h"

using namespace ll::sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t choice = data[0];
  SimOptions options;
  options.answerOnProbe = 1 + (choice & 3);
  options.strayByte = choice & 4;
  options.refuseBlock = {(choice & 16) ? Memory::Eeprom : Memory::Flash, (choice & 32) ? 0 : 32};
  options.goneAtReadBlock = (choice & 64) ? 15 : -1;
  options.badReplyChecksum = choice & 128;
  const auto gap = std::chrono::milliseconds((choice & 8) ? 500 : 1);

  Simulator sim(options);
  const std::vector<std::uint8_t> input(data + 1, data + size);
  const std::vector<std::uint8_t> sent = sim.Feed(input, gap);

  ll::fuzz::Check(sim.Flash().size() == kFlashBytes, "FLASH keeps its size");
  ll::fuzz::Check(sim.Eeprom().size() == kEepromBytes, "EEPROM keeps its size");
  // Frames() copies every frame under the simulator's lock: once per input, not once per use.
  const std::vector<Frame> frames = sim.Frames();
  std::size_t framed = 0;
  for (const Frame& f : frames) {
    ll::fuzz::Check(f.data.size() == f.length, "a frame holds its length in data");
    ll::fuzz::Check(f.raw.size() == (f.length == 0 ? 5u : 6u + f.length), "frame size on the line");
    framed += f.raw.size();
  }
  ll::fuzz::Check(framed <= input.size(), "no frame is made up");
  ll::fuzz::Check(sim.Received().size() <= input.size(), "no byte is made up");
  // Replies are at most 18 bytes per frame plus a probe answer and a stray byte per probe pair.
  ll::fuzz::Check(sent.size() <= 18 * frames.size() + input.size(), "bounded output");
  return 0;
}
