// Prints, as one JSON object, the per-core SHA-256 throughput of every lane
// kernel the processor has at every lane count, the kernel and lane count
// the batch digests chose, and the same speeds as rows of the fixed table in
// src/hashing/multi_digest.cc that the choice is made from. Run by the
// benchmark; best of many short rounds, so that a busy machine shows the
// kernels' own speed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hashing/multi_digest.h"

using namespace tov::hashing;

namespace {

const char* enumerator(lanes::Kernel kernel) {
  switch (kernel) {
    case lanes::Kernel::kScalar:
      return "kScalar";
    case lanes::Kernel::kShaNi:
      return "kShaNi";
    case lanes::Kernel::kArmSha2:
      return "kArmSha2";
    case lanes::Kernel::kAvx512:
      return "kAvx512";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  const LanePlan& plan = lane_plan();
  std::printf("{\"chosen\":{\"lanes\":%zu,\"worthwhile\":%s,\"kernelFor\":[", plan.lanes,
              plan.worthwhile ? "true" : "false");
  for (std::size_t n = 1; n <= plan.lanes; ++n) {
    std::printf("%s\"%s\"", n == 1 ? "" : ",", lanes::kernel_name(plan.kernel_for[n]));
  }
  std::printf("]},\"speeds\":[");
  bool first = true;
  std::string table;
  for (lanes::Kernel kernel : lanes::compiled_kernels()) {
    if (!lanes::kernel_supported(kernel)) continue;
    if (kernel != lanes::Kernel::kScalar) {
      table += std::string("    {lanes::Kernel::") + enumerator(kernel) + ", {0";
    }
    for (std::size_t n = 1; n <= lanes::max_lanes(kernel); ++n) {
      if (kernel == lanes::Kernel::kScalar && n > 1) break;  // one lane after the other anyway
      double best = 0;
      for (int r = 0; r < rounds; ++r) {
        const double speed = measure_lanes(kernel, n);
        if (speed > best) best = speed;
      }
      std::printf("%s{\"kernel\":\"%s\",\"lanes\":%zu,\"bytesPerSecond\":%.0f}", first ? "" : ",",
                  lanes::kernel_name(kernel), n, best * 1e9);
      first = false;
      if (kernel != lanes::Kernel::kScalar) {
        char speed[32];
        std::snprintf(speed, sizeof(speed), ", %.3f", best);
        table += speed;
      }
    }
    if (kernel != lanes::Kernel::kScalar) table += "}},\\n";
  }
  std::printf("],\"table\":\"%s\"}\n", table.c_str());
  return 0;
}
