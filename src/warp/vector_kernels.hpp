// The resampling row kernels, written once for a vector of N lanes. Each
// lane performs exactly the scalar sampler's operations in the same order;
// only the fetching of samples and the storing of results differ.
//
// Included by the files that compile them for one instruction set, after
// they have selected it with `#pragma GCC target` and defined the lane
// operations `V` (see vector_rows_avx2.cpp). Everything here has internal
// linkage, so each instruction set gets its own copy, and it calls no inline
// function of another header: such a function could be emitted with the
// wider instructions and then be used by code meant for any CPU.
#ifndef LINORA_VECTOR_KERNELS_INCLUDED
#error "include only from a vector_rows_<isa>.cpp file"
#endif

namespace linora::detail {
namespace {

template <class V> struct Positions {
    typename V::D x, y;
    typename V::M take; // inside the raster and not skipped
};

// The samplers' range test, exactly its four ordered comparisons: a lane is
// taken when all of them hold (NaN coordinates are not taken).
template <class V>
[[gnu::always_inline]] inline typename V::M inside(typename V::D x, typename V::D y, std::size_t w,
                                                   std::size_t h) {
    const auto lo = V::set1(-0.5);
    const auto wm = V::set1(static_cast<double>(w) - 0.5);
    const auto hm = V::set1(static_cast<double>(h) - 0.5);
    return V::and_(V::and_(V::ge(x, lo), V::ge(wm, x)), V::and_(V::ge(y, lo), V::ge(hm, y)));
}

template <class V> struct RemapPositions {
    const float* mx;
    const float* my;
    std::size_t w, h;
    // Map entries widened exactly to double.
    [[gnu::always_inline]] Positions<V> at(std::size_t x) const {
        const auto px = V::widen(mx + x);
        const auto py = V::widen(my + x);
        return {px, py, inside<V>(px, py, w, h)};
    }
};

template <class V> struct WarpPositions {
    WarpRowTerms t;
    std::size_t w, h;
    // u = x / scale + off_x; W = bw + H6 * u; (sx, sy) = ((bx + u * H0) / W,
    // (by + u * H3) / W); lanes with W == 0 are skipped.
    [[gnu::always_inline]] Positions<V> at(std::size_t x) const {
        const auto xs = V::add(V::set1(static_cast<double>(x)), V::iota());
        // x / scale, as an exact multiplication where that gives the same
        // bits (scale a power of two).
        const auto xq =
            t.inv_scale != 0.0 ? V::mul(xs, V::set1(t.inv_scale)) : V::div(xs, V::set1(t.scale));
        const auto u = V::add(xq, V::set1(t.off_x));
        const auto wd = V::add(V::set1(t.bw), V::mul(V::set1(t.h6), u));
        const auto sx = V::div(V::add(V::set1(t.bx), V::mul(u, V::set1(t.h0))), wd);
        const auto sy = V::div(V::add(V::set1(t.by), V::mul(u, V::set1(t.h3))), wd);
        return {sx, sy, V::and_not(V::eq(wd, V::set1(0.0)), inside<V>(sx, sy, w, h))};
    }
};

// The positions of a row, computed a block of pixels ahead of the sampling:
// the divisions of the warp's mapping then overlap one another instead of
// each group of lanes waiting for its own.
template <class V> struct PositionBlock {
    static constexpr std::size_t size = 64;
    alignas(64) double x[size], y[size];
    typename V::M take[size / V::N];

    // The positions of pixels px .. px + N - 1 (px a multiple of N,
    // px + N <= n).
    template <class Pos>
    [[gnu::always_inline]] Positions<V> next(const Pos& pos, std::size_t px, std::size_t n) {
        const std::size_t at = px % size;
        if (at == 0)
            for (std::size_t i = 0; i < size && px + i + V::N <= n; i += V::N) {
                const Positions<V> p = pos.at(px + i);
                V::store(x + i, p.x);
                V::store(y + i, p.y);
                take[i / V::N] = p.take;
            }
        return {V::load(x + at), V::load(y + at), take[at / V::N]};
    }
};

// floor(v) as int32 lanes, 0 where v is NaN or the lane is not taken (its
// value is then never used). Taken lanes lie in [-1, n - 1].
template <class V>
[[gnu::always_inline]] inline typename V::I floor_index(typename V::D floored, typename V::M take) {
    return V::cvtt(V::keep(floored, V::and_(take, V::ord(floored))));
}

template <class V>
[[gnu::always_inline]] inline typename V::I clamp_index(typename V::I i, typename V::I last) {
    return V::mini(V::maxi(i, V::set1i(0)), last);
}

// The samples at element offsets `off` (C channels from there), channel c
// as doubles. One 4- or 8-byte load per lane covers the pixel's channels
// (plain loads: faster than gather instructions on the machines measured).
template <class T, std::size_t C> struct Fetch {
    static constexpr bool wide = C * sizeof(T) > 4; // 16-bit RGB: 8-byte loads
    // Elements a fetch reads from its offset on.
    static constexpr std::size_t span = (wide ? 8 : 4) / sizeof(T);
    static constexpr int bits = 8 * sizeof(T);

    template <class V>
    [[gnu::always_inline]] static void load(const T* base, typename V::I off,
                                            typename V::D (&v)[C]) {
        alignas(64) std::int32_t o[V::N];
        V::storei(o, off);
        if constexpr (!wide) {
            const auto g = V::fetch32(base, o);
            for (std::size_t c = 0; c < C; ++c)
                v[c] = V::cvt(V::template field32<bits>(g, static_cast<int>(bits * c)));
        } else {
            const auto g = V::fetch64(base, o);
            for (std::size_t c = 0; c < C; ++c)
                v[c] = V::template field64<bits>(g, static_cast<int>(bits * c));
        }
    }
};

// The samplers' quantisation: v + 0.5 truncated, NaN and values below 1
// giving 0, limited to T's maximum. Clamping v + 0.5 to [0, max] first gives
// the same integers (the max instruction returns its second operand, 0, for
// NaN).
template <class T, class V> [[gnu::always_inline]] inline typename V::I quantise(typename V::D v) {
    constexpr double top = sizeof(T) == 1 ? 255.0 : 65535.0;
    const auto r = V::add(v, V::set1(0.5));
    return V::cvtt(V::min(V::max(r, V::set1(0.0)), V::set1(top)));
}

// Writes the pixels of the taken lanes (bit l of `take` for lane l).
template <class T, std::size_t C, class V>
[[gnu::always_inline]] inline void store(T* out, std::size_t x, unsigned take,
                                         const typename V::I (&q)[C]) {
    if constexpr (sizeof(T) == 1)
        if (take == (1u << V::N) - 1) {
            V::template store_u8<C>(out + x * C, q);
            return;
        }
    alignas(64) std::int32_t lanes[C][V::N];
    for (std::size_t c = 0; c < C; ++c)
        V::storei(lanes[c], q[c]);
    for (int l = 0; l < V::N; ++l)
        if (take & (1u << l))
            for (std::size_t c = 0; c < C; ++c)
                out[(x + static_cast<std::size_t>(l)) * C + c] = static_cast<T>(lanes[c][l]);
}

// Any lane whose offset leaves less than a fetch's reach before the end of
// the source (only possible near its last pixel)?
template <class T, std::size_t C, class V>
[[gnu::always_inline]] inline bool near_end(typename V::I max_off, std::size_t samples) {
    if (samples < Fetch<T, C>::span) return true;
    return V::any_gt(max_off, V::set1i(static_cast<std::int32_t>(samples - Fetch<T, C>::span)));
}

// The taken lanes of a group the vector code cannot read safely, by the
// scalar samplers.
template <class T, std::size_t C, Filter F, class V>
void scalar_lanes(const SourceView<T>& src, const Positions<V>& p, unsigned take, std::size_t x,
                  T* out) {
    alignas(64) double xs[V::N], ys[V::N];
    V::store(xs, p.x);
    V::store(ys, p.y);
    for (int l = 0; l < V::N; ++l)
        if (take & (1u << l))
            scalar_pixel<T, C, F>(src, xs[l], ys[l], out + (x + static_cast<std::size_t>(l)) * C);
}

// Bilinear: weights from the unclamped floor, neighbours clamped each by
// itself, v = ((w00 * P00 + w10 * P10) + w01 * P01) + w11 * P11.
template <class T, std::size_t C, class V, class Pos>
std::size_t bilinear_span(const SourceView<T>& src, const Pos& pos, std::size_t n, T* out) {
    using D = typename V::D;
    using I = typename V::I;
    const std::size_t samples = src.w * src.h * C;
    const I last_x = V::set1i(static_cast<std::int32_t>(src.w) - 1);
    const I last_y = V::set1i(static_cast<std::int32_t>(src.h) - 1);
    const I stride = V::set1i(static_cast<std::int32_t>(src.w * C));
    const I cc = V::set1i(static_cast<std::int32_t>(C));
    const I one = V::set1i(1);
    const D ones = V::set1(1.0);
    std::size_t x = 0;
    PositionBlock<V> block;
    for (; x + V::N <= n; x += V::N) {
        const Positions<V> p = block.next(pos, x, n);
        const unsigned take = V::bits(p.take);
        if (take == 0) continue;
        const D fx0 = V::floor(p.x);
        const D fy0 = V::floor(p.y);
        const I ix = floor_index<V>(fx0, p.take);
        const I iy = floor_index<V>(fy0, p.take);
        const I x0 = V::mulloi(clamp_index<V>(ix, last_x), cc);
        const I x1 = V::mulloi(clamp_index<V>(V::addi(ix, one), last_x), cc);
        const I r0 = V::mulloi(clamp_index<V>(iy, last_y), stride);
        const I r1 = V::mulloi(clamp_index<V>(V::addi(iy, one), last_y), stride);
        const I o11 = V::addi(r1, x1);
        if (near_end<T, C, V>(o11, samples)) {
            scalar_lanes<T, C, Filter::Bilinear, V>(src, p, take, x, out);
            continue;
        }
        const D fx = V::sub(p.x, fx0);
        const D fy = V::sub(p.y, fy0);
        const D gx = V::sub(ones, fx);
        const D gy = V::sub(ones, fy);
        const D w00 = V::mul(gx, gy);
        const D w10 = V::mul(fx, gy);
        const D w01 = V::mul(gx, fy);
        const D w11 = V::mul(fx, fy);
        D p00[C], p10[C], p01[C], p11[C];
        Fetch<T, C>::template load<V>(src.data, V::addi(r0, x0), p00);
        Fetch<T, C>::template load<V>(src.data, V::addi(r0, x1), p10);
        Fetch<T, C>::template load<V>(src.data, V::addi(r1, x0), p01);
        Fetch<T, C>::template load<V>(src.data, o11, p11);
        I q[C];
        for (std::size_t c = 0; c < C; ++c) {
            const D v = V::add(
                V::add(V::add(V::mul(w00, p00[c]), V::mul(w10, p10[c])), V::mul(w01, p01[c])),
                V::mul(w11, p11[c]));
            q[c] = quantise<T, V>(v);
        }
        store<T, C, V>(out, x, take, q);
    }
    return x;
}

// Phase index of a coordinate: (v - floor(v)) * 1024 rounded half away from
// zero (the fraction is not negative: trunc, plus one when the rest is at
// least a half, which is exactly std::round), NaN giving 0.
template <class V>
[[gnu::always_inline]] inline typename V::I phase_index(typename V::D v, typename V::D floored) {
    const auto f = V::mul(V::sub(v, floored), V::set1(1024.0));
    const auto t = V::trunc(f);
    const auto up = V::ge(V::sub(f, t), V::set1(0.5));
    const auto r = V::add(t, V::keep(V::set1(1.0), up));
    return V::cvtt(V::keep(r, V::ord(r)));
}

// Lanczos-3: table rows kx and ky, 6 x 6 taps clamped each by itself,
// sum = sum + (wy[i] * wx[j]) * P in row-major tap order.
template <class T, std::size_t C, class V, class Pos>
std::size_t lanczos_span(const SourceView<T>& src, const Pos& pos, std::size_t n, T* out) {
    using D = typename V::D;
    using I = typename V::I;
    const std::size_t samples = src.w * src.h * C;
    const I last_x = V::set1i(static_cast<std::int32_t>(src.w) - 1);
    const I last_y = V::set1i(static_cast<std::int32_t>(src.h) - 1);
    const I stride = V::set1i(static_cast<std::int32_t>(src.w * C));
    const I cc = V::set1i(static_cast<std::int32_t>(C));
    const I six = V::set1i(6);
    std::size_t x = 0;
    PositionBlock<V> block;
    for (; x + V::N <= n; x += V::N) {
        const Positions<V> p = block.next(pos, x, n);
        const unsigned take = V::bits(p.take);
        if (take == 0) continue;
        const D fx0 = V::floor(p.x);
        const D fy0 = V::floor(p.y);
        const I kx = V::mulloi(phase_index<V>(p.x, fx0), six);
        const I ky = V::mulloi(phase_index<V>(p.y, fy0), six);
        const I ix = floor_index<V>(fx0, p.take);
        const I iy = floor_index<V>(fy0, p.take);
        I col[6], row[6];
        D wx[6], wy[6];
        for (int j = 0; j < 6; ++j) {
            const I d = V::set1i(j - 2);
            col[j] = V::mulloi(clamp_index<V>(V::addi(ix, d), last_x), cc);
            row[j] = V::mulloi(clamp_index<V>(V::addi(iy, d), last_y), stride);
            wx[j] = V::gather(src.weights + j, kx);
            wy[j] = V::gather(src.weights + j, ky);
        }
        if (near_end<T, C, V>(V::addi(row[5], col[5]), samples)) {
            scalar_lanes<T, C, Filter::Lanczos3, V>(src, p, take, x, out);
            continue;
        }
        D sum[C];
        for (std::size_t c = 0; c < C; ++c)
            sum[c] = V::set1(0.0);
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 6; ++j) {
                const D wij = V::mul(wy[i], wx[j]);
                D v[C];
                Fetch<T, C>::template load<V>(src.data, V::addi(row[i], col[j]), v);
                for (std::size_t c = 0; c < C; ++c)
                    sum[c] = V::add(sum[c], V::mul(wij, v[c]));
            }
        I q[C];
        for (std::size_t c = 0; c < C; ++c)
            q[c] = quantise<T, V>(sum[c]);
        store<T, C, V>(out, x, take, q);
    }
    return x;
}

template <class T, std::size_t C, Filter F, class V, class Pos>
std::size_t span_with(const SourceView<T>& src, const Pos& pos, std::size_t n, T* out) {
    if constexpr (F == Filter::Bilinear)
        return bilinear_span<T, C, V>(src, pos, n, out);
    else
        return lanczos_span<T, C, V>(src, pos, n, out);
}

} // namespace
} // namespace linora::detail

// The entry points of one instruction set, named by LINORA_ISA.
#define LINORA_ISA_NAME2(name, isa) name##_##isa
#define LINORA_ISA_NAME(name, isa) LINORA_ISA_NAME2(name, isa)

namespace linora::detail {

template <class T, std::size_t C, Filter F>
std::size_t LINORA_ISA_NAME(remap_span, LINORA_ISA)(const SourceView<T>& src, const float* mx,
                                                    const float* my, std::size_t n,
                                                    T* out) noexcept {
    return span_with<T, C, F, V>(src, RemapPositions<V>{mx, my, src.w, src.h}, n, out);
}

template <class T, Filter F>
std::size_t LINORA_ISA_NAME(warp_span, LINORA_ISA)(const SourceView<T>& src,
                                                   const WarpRowTerms& row, std::size_t n,
                                                   T* out) noexcept {
    return span_with<T, 3, F, V>(src, WarpPositions<V>{row, src.w, src.h}, n, out);
}

#define LINORA_REMAP_SPAN(T, C, F)                                                                 \
    template std::size_t LINORA_ISA_NAME(remap_span, LINORA_ISA)<T, C, F>(                         \
        const SourceView<T>&, const float*, const float*, std::size_t, T*) noexcept;
#define LINORA_WARP_SPAN(T, F)                                                                     \
    template std::size_t LINORA_ISA_NAME(warp_span, LINORA_ISA)<T, F>(                             \
        const SourceView<T>&, const WarpRowTerms&, std::size_t, T*) noexcept;
LINORA_REMAP_SPAN(std::uint8_t, 1, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint8_t, 3, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint16_t, 1, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint16_t, 3, Filter::Bilinear)
LINORA_REMAP_SPAN(std::uint8_t, 1, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint8_t, 3, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint16_t, 1, Filter::Lanczos3)
LINORA_REMAP_SPAN(std::uint16_t, 3, Filter::Lanczos3)
LINORA_WARP_SPAN(std::uint8_t, Filter::Bilinear)
LINORA_WARP_SPAN(std::uint16_t, Filter::Bilinear)
LINORA_WARP_SPAN(std::uint8_t, Filter::Lanczos3)
LINORA_WARP_SPAN(std::uint16_t, Filter::Lanczos3)
#undef LINORA_REMAP_SPAN
#undef LINORA_WARP_SPAN

} // namespace linora::detail
