#pragma once
// Model packages shared by every search in the process. A package is a zip
// archive holding a compiled shared library; loading one extracts and maps it,
// and LibTorch keeps it mapped until the loading thread exits. Loading it per
// search therefore grew a process by six maps and 1.5 MB of temporary files
// per solve, so packages are loaded once per file and reused.

#include <memory>
#include <string>

#include <c10/core/Device.h>

namespace torch::inductor {
class AOTIModelPackageLoader;
}

namespace quelmar {

// Checks the zip archive at `path` before anything from it is loaded: every
// member's CRC-32 and size, and member names that stay inside the extraction
// folder. Throws std::runtime_error naming the file when it cannot be read or
// is damaged, truncated or unsafe.
void checkModelPackageArchive(const std::string& path);

// The loaded package at `path` for `device`, from the process-wide cache. The
// cache key is the file's identity (resolved path, device and inode, size,
// modification time) and the device, so a file replaced on disk is checked
// and loaded afresh. Thread-safe; loads run one at a time. Throws
// std::runtime_error for an unreadable or damaged package and passes
// LibTorch's loading errors through.
std::shared_ptr<torch::inductor::AOTIModelPackageLoader> loadModelPackage(
    const std::string& path, const c10::Device& device);

// Drops every cached package nobody holds; returns how many were dropped.
// Called at interpreter exit, while LibTorch is still intact.
size_t releaseUnusedModelPackages();

// Number of packages in the cache (for tests and the stress benchmark).
size_t cachedModelPackageCount();

}  // namespace quelmar
