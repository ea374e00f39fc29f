// Bench driver: opens the results page on the NTFS volume of a VHDX (the parse worker, as the page runs
// it), then runs the page's name search for each pattern given; prints the parse time and each search's
// hit count and time to stderr.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "app/wizard_state.h"
#include "disk/vhdx_reader.h"
#include "platform/page_sink.h"
#include "platform/page_view.h"
#include "results/volume_scan_dlg.h"

using namespace tessary;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The process's CPU time (the page's worker does the work while this thread waits for it).
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s IMAGE.vhdx START_SECTOR PATTERN...\n", argv[0]);
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  WizardState state;
  auto reader = std::make_unique<FileReadSeekVHDX>(state.disk);
  if (!reader->open(argv[1])) return 1;
  state.diskReader = std::move(reader);
  state.selectedVolume = VolumeEntry{"NTFS", "", "0", "0", std::stoll(argv[2])};
  NullSink sink;
  PageView view;
  VolumeScanDlg page(state, view, sink);
  page.setDetailListShown(false);
  page.onOpen(1);
  page.waitForWorker();
  if (!page.parser()) return 1;
  std::fprintf(stderr, "tessary: parse %.3f s, cpu %.3f s\n", secondsSince(started), cpuSeconds());
  for (int i = 3; i < argc; ++i) {
    view.setText(VolumeScanDlg::kSearchBox, argv[i]);
    const auto searchStarted = std::chrono::steady_clock::now();
    const double cpuStarted = cpuSeconds();
    page.onSearch();
    page.waitForWorker();
    std::fprintf(stderr, "tessary: search %-34s %6zu hits  %.3f s, cpu %.3f s\n", argv[i], page.searchHits().size(),
                 secondsSince(searchStarted), cpuSeconds() - cpuStarted);
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr, "tessary: total %.3f s, peak %ld KiB\n", secondsSince(started), usage.ru_maxrss);
  return 0;
}
