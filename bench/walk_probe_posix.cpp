// walk-probe: times the POSIX tree walk alone with a chosen number of
// workers, with the scan's own per-file work (the size filter, and the
// check of every file of a signature's size) or without it, so that the
// default number of workers can be chosen by measurement.
//
// usage: walk-probe WORKERS check|count ROOT...
// prints: probe workers=N mode=M seconds=S files=F directories=D candidates=C
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/file_check_posix.h"
#include "engine/signature_table.h"
#include "walker/tree_walk_posix.h"

namespace {

struct Probe {
  int check;
  SignatureTable table;
  uint64_t files;
  uint64_t candidates;
  uint64_t detections;
};

int OnFile(void* context, const WalkEntry* entry) {
  Probe* p = static_cast<Probe*>(context);
  p->files += 1;
  if (p->check && entry->size <= 0xFFFFFFFFu && HasSignatureOfSize(p->table, static_cast<uint32_t>(entry->size))) {
    const TreeEntry* e = static_cast<const TreeEntry*>(entry->native);
    char name[kDetectionNameCapacity];
    FileIdentity identity;
    p->candidates += 1;
    if (CheckFileAt(BuiltInSignatureSet(), e->directoryFd, e->name, name, &identity) == kCandidateMatched) p->detections += 1;
  }
  return 1;
}

int OnUnreadable(void*, const char* path, uint32_t error) {
  fprintf(stderr, "walk-probe: %s: %s\n", path, strerror(static_cast<int>(error)));
  return 1;
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (strcmp(argv[2], "check") != 0 && strcmp(argv[2], "count") != 0)) {
    fputs("usage: walk-probe WORKERS check|count ROOT...\n", stderr);
    return 2;
  }
  Probe probe{strcmp(argv[2], "check") == 0, BuiltInSignatures(), 0, 0, 0};
  TreeWalkOptions options{0, static_cast<uint32_t>(atoi(argv[1]))};
  VisitedSet visited;
  InitVisitedSet(&visited);
  TreeWalkStats stats{};
  WalkVisitor visitor{OnFile, OnUnreadable, &probe};
  double started = Now();
  for (int i = 3; i < argc; ++i) WalkTree(argv[i], options, &visited, visitor, &stats);
  double seconds = Now() - started;
  FreeVisitedSet(&visited);
  printf("probe workers=%u mode=%s seconds=%.6f files=%llu directories=%llu candidates=%llu detections=%llu\n",
         options.workers, argv[2], seconds, static_cast<unsigned long long>(probe.files),
         static_cast<unsigned long long>(stats.directories), static_cast<unsigned long long>(probe.candidates),
         static_cast<unsigned long long>(probe.detections));
  return 0;
}
