// Shared libraries loaded while the program runs (the plug-ins).
#pragma once

#include <string>

namespace km {

// One loaded library, unloaded when its owner goes.
class DynamicLibrary {
public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { unload(); }
  DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
    other.handle_ = nullptr;
  }
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library with every reference resolved at once, its own symbols kept
  // to itself. False with the loader's explanation in `error`.
  bool load(const std::string& path, std::string& error);
  bool loaded() const { return handle_ != nullptr; }
  // The address of an exported symbol, or null.
  void* symbol(const char* name) const;
  void unload();

private:
  void* handle_ = nullptr;
};

} // namespace km
