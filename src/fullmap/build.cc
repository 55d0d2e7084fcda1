#include "src/fullmap/build.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "src/fullmap/db_cache.h"
#include "src/fullmap/equiv_index.h"
#include "src/fullmap/ingest.h"
#include "src/fullmap/input.h"
#include "src/fullmap/spill_dir.h"
#include "src/fullmap/writer.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::IoError;
using Outcome = storage::Result<void, PendingError>;

Err<PendingError> fail_errno(int code) { return Err(PendingError(IoError::from_errno(code))); }

std::string parent_of(const std::string& output) {
  std::string trimmed = output;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return std::filesystem::path(trimmed).parent_path().string();
}

}  // namespace

storage::Result<void, PendingError> check_build_arguments(const std::string& output,
                                                          std::span<const std::string> inputs,
                                                          size_t workers,
                                                          const BuildSettings& settings) {
  // Such a path names a directory, not a file, and its shards would be the
  // files of another output (db.qdb/ has the shards of db.qdb).
  if (output.empty() || output.back() == '/') {
    return Err(PendingError::runtime("fullmap output '" + output +
                                     "' names no file: its last path component is empty"));
  }
  if (std::optional<PendingError> refused = check_pool_size(workers)) {
    return Err(std::move(*refused));
  }
  for (const std::string& input : inputs) {
    struct stat st;
    if (::stat(input.c_str(), &st) != 0) return fail_errno(errno);
    if (S_ISDIR(st.st_mode)) return fail_errno(EISDIR);
    if (!S_ISREG(st.st_mode)) continue;  // opening a FIFO could wake its writer
    Fd fd(::open(input.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) return fail_errno(errno);
  }
  return SpillDirectory::check_path(settings.spill_dir, inputs, output);
}

storage::Result<PreparedOutput, PendingError> prepare_output(const std::string& output,
                                                             std::span<const std::string> inputs,
                                                             const std::string& spill_dir) {
  const std::string parent = parent_of(output);
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) return fail_errno(ec.value());
  }
  struct Identity {
    dev_t dev;
    ino_t ino;
    size_t input;
  };
  std::vector<Identity> input_ids;
  for (size_t k = 0; k < inputs.size(); ++k) {
    struct stat st;
    if (::stat(inputs[k].c_str(), &st) == 0) input_ids.push_back({st.st_dev, st.st_ino, k});
  }
  auto input_at = [&](const std::string& path) -> const std::string* {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    for (const Identity& id : input_ids) {
      if (id.dev == st.st_dev && id.ino == st.st_ino) return &inputs[id.input];
    }
    return nullptr;
  };
  // An input where the claim file goes is left alone (the claim would refuse
  // it too, but this says why).
  for (const std::string& claim_path : OutputClaim::claim_paths(output)) {
    if (const std::string* input = input_at(claim_path)) {
      return Err(PendingError::runtime("fullmap output lock '" + claim_path +
                                       "': it is the input file " + *input));
    }
  }
  // Nothing of the output is touched before it is ours, and the spill
  // directory too: a build that could not have it would fail only after the
  // old output was gone.
  TRY_ASSIGN(OutputClaim claim, OutputClaim::take(output));
  TRY_ASSIGN(SpillDirectory spill, SpillDirectory::take(spill_dir, inputs, output));
  // Cached handles of the old files go before the files do.
  TRY(evict_cached_paths(output));
  std::vector<std::string> paths{output};
  for (uint32_t i = 0; i < kShardCount; ++i) paths.push_back(shard_path(output, i));
  // Every path is checked before the first is deleted.
  std::vector<bool> present(paths.size(), false);
  std::vector<bool> regular(paths.size(), false);
  for (size_t i = 0; i < paths.size(); ++i) {
    struct stat st;
    if (::stat(paths[i].c_str(), &st) != 0) continue;  // nothing there to delete
    if (const std::string* input = input_at(paths[i])) {
      return Err(PendingError::runtime("refusing to build over " + paths[i] +
                                       ": it is the input file " + *input));
    }
    if (S_ISDIR(st.st_mode)) return fail_errno(EISDIR);
    // Another build's claim (of an output whose claim file is named like
    // one of ours) is that build's to remove.
    if (OutputClaim::is_claim_file(paths[i])) {
      return Err(PendingError::runtime("refusing to build over " + paths[i] +
                                       ": it is the claim file of a fullmap build"));
    }
    present[i] = true;
    regular[i] = S_ISREG(st.st_mode);
  }
  // Unlinking a large file frees its blocks and pages, which takes a while:
  // regular files are unlinked while held open, and closed on a thread of
  // their own.
  std::vector<Fd> held;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!present[i]) continue;
    Fd fd(regular[i] ? ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1);
    if (::unlink(paths[i].c_str()) != 0 && errno != ENOENT) return fail_errno(errno);
    if (fd.valid()) held.push_back(std::move(fd));
  }
  PreparedOutput prepared{.claim = std::move(claim), .spill = std::move(spill), .old_files = {}};
  if (!held.empty()) {
    // When no thread can be had, the files are closed here instead.
    try {
      auto files = std::make_shared<std::vector<Fd>>(std::move(held));
      prepared.old_files.closer_ = std::make_unique<SystemThread>();
      (void)prepared.old_files.closer_->start([files = std::move(files)] { files->clear(); });
    } catch (const std::bad_alloc&) {
      // `held` or `files` goes, closing them.
    }
  }
  return prepared;
}

size_t build_thread_count(size_t workers, const BuildSettings& settings, size_t synonym_files) {
  const IngestThreads ingest = ingest_threads(workers, settings.producers, synonym_files);
  return 1 + workers + std::max<size_t>(ingest.consumers + ingest.producers, kShardCount);
}

Outcome build_body(const BuildJob& job) {
  std::optional<SpillDirectory> taken;
  if (job.spill == nullptr) {
    std::vector<std::string> inputs = job.classes;
    inputs.insert(inputs.end(), job.synonyms.begin(), job.synonyms.end());
    TRY_ASSIGN(SpillDirectory own,
               SpillDirectory::take(job.settings.spill_dir, inputs, job.output));
    taken.emplace(std::move(own));
  }
  SpillDirectory& spill = job.spill != nullptr ? *job.spill : *taken;
  TRY(spill.clear());
  IngestResult tables;
  {
    TRY_ASSIGN(EquivIndex equiv, EquivIndex::build(job.classes, spill.path(), job.progress));
    IngestInput in;
    in.synonyms = job.synonyms;
    in.equiv = &equiv;
    in.spill_dir = spill.path();
    in.local_spill_entries = job.settings.local_spill_entries;
    in.curie_spill_entries = job.settings.curie_spill_entries;
    in.exclude_prefixes = &job.settings.exclude_prefixes;
    in.workers = job.workers;
    in.shard_count = job.shard_count;
    in.chunk_bytes = job.settings.chunk_bytes;
    in.producers = job.settings.producers;
    in.progress = job.progress;
    TRY_ASSIGN(tables, process_synonyms(in));
    // The index (and its file) goes before the final write starts.
  }
  TRY(write_final_database(FinalWriteInput{.output = job.output,
                                           .tables = &tables,
                                           .cache_bytes = job.settings.cache_bytes,
                                           .insert_batch = job.settings.insert_batch,
                                           .shard_count = job.shard_count,
                                           .progress = job.progress,
                                           .scratch_dir = spill.path()}));
  spill.remove();
  return {};
}

PoolBody build_task(BuildJob job) {
  auto shared = std::make_shared<const BuildJob>(std::move(job));
  return [shared] { return build_body(*shared); };
}

PoolOutcome build_fullmap_inner(BuildJob job) {
  const size_t workers = job.workers;
  return run_on_pool(workers, build_task(std::move(job)));
}

}  // namespace rs::fullmap
