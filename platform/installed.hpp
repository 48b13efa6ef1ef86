#pragma once
// The backend of a seam that the program's main, oscset-sim or a test installs and the layer
// above uses; null until one is installed.

namespace oscset::platform {

template <typename Seam>
class Installed {
  public:
    static void set(Seam* backend) { backend_ = backend; }
    static Seam* get() { return backend_; }

  private:
    static inline Seam* backend_ = nullptr;
};

}  // namespace oscset::platform
