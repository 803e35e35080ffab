// Bundle location and the IMX container.
//
// A bundle reaches the library as a directory or as one IMX v2 container file.
// resolveBundlePath turns the host's path into the directory to read; for a
// container, unwrapOnce unpacks it once into a sibling directory (or under
// LE_IMX_UNWRAP_ROOT) and reuses that directory while the container is unchanged.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace le {

// The bundle directory for a directory, a container file, or the stem of either.
// Throws std::runtime_error only through unwrapOnce.
std::string resolveBundlePath(const std::string& path);

// True when path is a regular file whose first 8 bytes are "IMX\0" + uint16 LE 2.
bool isImxV2File(const std::string& path);

// Unpacks container into its target directory unless the marker beside the target
// matches the container; returns the target. Throws std::runtime_error.
std::string unwrapOnce(const std::string& container);

namespace imx {

// First line of every unwrap marker.
inline constexpr const char* kMarkerSignature = "imx-unwrapped.v2";
// Size of the one copy buffer members are streamed through.
inline constexpr std::size_t kCopyBufferBytes = 8u << 20;
// Largest manifest.json payload looked at for the synthetic-manifest tag.
inline constexpr std::uint64_t kSyntheticManifestMax = 4u << 20;

// Path routines.
std::string rstripSlash(const std::string& p);  // never shorter than one character
std::string baseName(const std::string& p);
std::string dirName(const std::string& p);      // "." without '/', "/" for "/x"
bool mkdirs(const std::string& p);              // mode 0755, parents first
void rmTree(const std::string& p);              // never follows symbolic links

// Names derived from a container path.
struct UnwrapPaths {
  std::string base;    // "foo" of foo.imx + ".lebundle"
  std::string root;    // LE_IMX_UNWRAP_ROOT or the container's directory
  std::string target;  // root + "/" + base
  std::string marker;  // target + ".imx_unwrapped"
};
UnwrapPaths unwrapPaths(const std::string& container);

// The marker text for the container as lstat describes it now; throws
// "cannot stat container " + container.
std::string markerSignature(const std::string& container);

// The process-wide mutex that serialises every unpacking.
std::mutex& unwrapMutex();

}  // namespace imx
}  // namespace le
