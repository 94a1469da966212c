// Registration from signatures: a class's members are registered by member pointer with their
// parameter names; the conversion of every argument follows from the C++ parameter type, and a
// non-const reference parameter is a by-reference argument whose final value goes back to the
// caller. A parameter list that does not fit the signature is refused when it is registered.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kx/object.h"
#include "kx/registry.h"

namespace kx {

// A declared parameter: its name, and for an optional one its default.
struct Arg {
  Arg(const char* name) : info{name, false, false, Variant()} {}
  Arg(std::string name) : info{std::move(name), false, false, Variant()} {}
  ParamInfo info;
};
// An optional parameter with its default.
inline Arg Optional(std::string name, Variant defaultValue = {}) {
  Arg a(std::move(name));
  a.info.optional = true;
  a.info.defaultValue = std::move(defaultValue);
  return a;
}

// An optional parameter that a caller passes by reference although the member only reads it (its
// value comes back unchanged).
inline Arg OptionalByRef(std::string name) {
  Arg a = Optional(std::move(name));
  a.info.byRef = true;
  return a;
}

namespace expose_detail {

template <class T>
struct IsSharedPtr : std::false_type {};
template <class U>
struct IsSharedPtr<std::shared_ptr<U>> : std::true_type {};

// The value of a Variant as the C++ type V.
template <class V>
V From(const Variant& v) {
  if constexpr (std::is_same_v<V, Variant>)
    return v;
  else if constexpr (std::is_same_v<V, std::string>)
    return CStr(v);
  else if constexpr (std::is_same_v<V, bool>)
    return CBool(v);
  else if constexpr (std::is_same_v<V, int16_t>)
    return CInt(v);
  else if constexpr (std::is_same_v<V, int32_t>)
    return CLng(v);
  else if constexpr (std::is_same_v<V, double>)
    return CDbl(v);
  else if constexpr (std::is_same_v<V, Date>)
    return CDate(v);
  else if constexpr (IsSharedPtr<V>::value) {
    using U = typename V::element_type;
    if (v.IsEmpty() || v.IsNull()) return nullptr;
    if (const auto* o = v.get_if<ObjectPtr>(); o && !*o) return nullptr;  // Nothing
    return ObjectAs<U>(v);
  } else
    static_assert(sizeof(V) == 0, "no conversion from Variant to this parameter type");
}

// A C++ value as a Variant.
template <class V>
Variant To(V&& value) {
  using D = std::decay_t<V>;
  if constexpr (IsSharedPtr<D>::value)
    return Variant(std::static_pointer_cast<Object>(std::forward<V>(value)));
  else
    return Variant(std::forward<V>(value));
}

// Holds one converted argument for the call; a by-reference one is written back afterwards.
template <class P>
class Holder {
  using V = std::remove_cvref_t<P>;
  static constexpr bool kVariantRef = std::is_same_v<P, Variant&>;
  static constexpr bool kByRef =
      std::is_lvalue_reference_v<P> && !std::is_const_v<std::remove_reference_t<P>>;

 public:
  explicit Holder(Variant& arg) : arg_(arg) {
    if constexpr (!kVariantRef) value_ = From<V>(arg);
  }
  decltype(auto) get() {
    if constexpr (kVariantRef)
      return static_cast<Variant&>(arg_);
    else if constexpr (kByRef)
      return static_cast<V&>(value_);
    else
      return static_cast<const V&>(value_);
  }
  void WriteBack() {
    if constexpr (kByRef && !kVariantRef) arg_ = To(value_);
  }

 private:
  Variant& arg_;
  std::conditional_t<kVariantRef, char, V> value_{};
};

template <class P>
constexpr bool IsByRef() {
  return std::is_lvalue_reference_v<P> && !std::is_const_v<std::remove_reference_t<P>>;
}

template <class T, class Fn, class R, class... A, size_t... I>
Variant Call(T& object, Fn fn, Args& args, std::index_sequence<I...>) {
  std::tuple<Holder<A>...> held{Holder<A>(args[I])...};
  if constexpr (std::is_void_v<R>) {
    (object.*fn)(std::get<I>(held).get()...);
    (std::get<I>(held).WriteBack(), ...);
    return Variant();
  } else {
    Variant result = To((object.*fn)(std::get<I>(held).get()...));
    (std::get<I>(held).WriteBack(), ...);
    return result;
  }
}

}  // namespace expose_detail

// Runs `fn` once when the library is loaded (the registration of a subsystem's classes).
struct AtLoad {
  explicit AtLoad(void (*fn)()) { fn(); }
};

// Builds the registration of class T and hands it to the registry with Register().
template <class T>
class Expose {
 public:
  explicit Expose(std::string name)
      : Expose(std::move(name), [] { return std::static_pointer_cast<Object>(std::make_shared<T>()); }) {}
  Expose(std::string name, std::function<ObjectPtr()> create) {
    info_.name = std::move(name);
    info_.create = std::move(create);
  }

  template <class C, class R, class... A>
  Expose& Method(std::string name, R (C::*fn)(A...), std::vector<Arg> params = {}) {
    return AddMember<C, R, A...>(std::move(name), MemberKind::Method, fn, std::move(params));
  }
  template <class C, class R, class... A>
  Expose& Method(std::string name, R (C::*fn)(A...) const, std::vector<Arg> params = {}) {
    return AddMember<C, R, A...>(std::move(name), MemberKind::Method, fn, std::move(params));
  }
  template <class G>
  Expose& Get(std::string name, G getter) {
    return Getter(std::move(name), getter);
  }
  template <class G, class S>
  Expose& Property(std::string name, G getter, S setter) {
    Getter(name, getter);
    return Setter(std::move(name), setter);
  }
  // A member whose arguments a signature cannot describe: `fn` gets the object and the arguments.
  Expose& Raw(std::string name, MemberKind kind, std::vector<Arg> params,
              std::function<Variant(T&, Args&)> fn) {
    std::vector<ParamInfo> infos;
    for (auto& p : params) infos.push_back(std::move(p.info));
    return Put(MemberInfo{std::move(name), kind, std::move(infos),
                          [fn = std::move(fn)](Object& o, Args& a) { return fn(static_cast<T&>(o), a); }});
  }

  const ClassInfo& info() const { return info_; }
  // Hands over the registration built so far (for Registry::Declare).
  ClassInfo Build() { return std::move(info_); }
  // Hands the class to the registry.
  void Register(Origin origin = Origin::Default) { Registry::Instance().Add(std::move(info_), origin); }

 private:
  template <class C, class R, class... A, class Fn>
  Expose& AddMember(std::string name, MemberKind kind, Fn fn, std::vector<Arg> params) {
    static_assert(std::is_base_of_v<C, T>, "the member belongs to another class");
    if (params.size() != sizeof...(A))
      throw std::logic_error(info_.name + "." + name + ": " + std::to_string(params.size()) +
                             " parameter names for " + std::to_string(sizeof...(A)) + " parameters");
    std::vector<ParamInfo> infos;
    constexpr bool byRef[] = {expose_detail::IsByRef<A>()..., false};
    for (size_t i = 0; i < params.size(); ++i) {
      infos.push_back(std::move(params[i].info));
      infos.back().byRef = infos.back().byRef || byRef[i];
    }
    return Put(MemberInfo{std::move(name), kind, std::move(infos), [fn](Object& o, Args& a) {
                            return expose_detail::Call<C, Fn, R, A...>(static_cast<T&>(o), fn, a,
                                                                       std::index_sequence_for<A...>{});
                          }});
  }
  template <class C, class R>
  Expose& Getter(std::string name, R (C::*fn)()) {
    return AddMember<C, R>(std::move(name), MemberKind::PropertyGet, fn, {});
  }
  template <class C, class R>
  Expose& Getter(std::string name, R (C::*fn)() const) {
    return AddMember<C, R>(std::move(name), MemberKind::PropertyGet, fn, {});
  }
  template <class C, class V>
  Expose& Setter(std::string name, void (C::*fn)(V)) {
    static_assert(std::is_base_of_v<C, T>, "the member belongs to another class");
    return Put(MemberInfo{std::move(name), MemberKind::PropertyLet, {}, [fn](Object& o, Args& a) {
                            using P = std::remove_cvref_t<V>;
                            (static_cast<T&>(o).*fn)(expose_detail::From<P>(a.back()));
                            return Variant();
                          }});
  }
  // Adds a member; one of the same name and kind is replaced (a record's own member over the
  // pattern's).
  Expose& Put(MemberInfo member) {
    for (auto& m : info_.members)
      if (m.kind == member.kind && m.name == member.name) {
        m = std::move(member);
        return *this;
      }
    info_.members.push_back(std::move(member));
    return *this;
  }

  ClassInfo info_;
};

}  // namespace kx
