// Small RAII glue for GLib's reference-counted types: GObjects, sources,
// main contexts, and strings GLib hands over.
#pragma once

#include <glib-object.h>

#include <memory>
#include <utility>

namespace trellan {

// Owns one strong reference to a GObject. The factory names say what happens
// to the reference: `take` adopts one the caller already owns, `add` adds a
// new one, `sink` sinks a floating reference (or adds one if not floating).
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { reset(); }
  Ref(const Ref& o) : p_(o.p_) { if (p_) g_object_ref(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }

  static Ref take(T* p) { Ref r; r.p_ = p; return r; }
  static Ref add(T* p) { Ref r; r.p_ = p ? static_cast<T*>(g_object_ref(p)) : nullptr; return r; }
  static Ref sink(T* p) { Ref r; r.p_ = p ? static_cast<T*>(g_object_ref_sink(p)) : nullptr; return r; }

  T* get() const { return p_; }
  // Gives the reference up to the caller, for a function that takes it over.
  [[nodiscard]] T* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() { if (p_) g_object_unref(std::exchange(p_, nullptr)); }

 private:
  T* p_ = nullptr;
};

// Owners of one reference to a plain GLib type, each with its fixed release
// function.
template <auto release>
struct GlibDeleter {
  template <typename T>
  void operator()(T* p) const { release(p); }
};
using SourcePtr = std::unique_ptr<GSource, GlibDeleter<g_source_unref>>;
using MainContextPtr = std::unique_ptr<GMainContext, GlibDeleter<g_main_context_unref>>;
using CharPtr = std::unique_ptr<gchar, GlibDeleter<g_free>>;

}  // namespace trellan
