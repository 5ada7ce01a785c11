"""A Numba implementation of ``rasterloom.annotate_scanlines``, for comparison.

This is the strongest version a Python user would reasonably write with
Numba: one compiled pass over the points that detects the point runs and
merges them on the fly (no intermediate list of point runs), then one pass
over the merged runs that finds the turn candidates, the threshold and the
labels. It follows the module's serial path bit for bit:

- all arithmetic stays in the element type (float32 inputs are never widened;
  every constant is a value of the element type, so Numba does not promote a
  float32 expression to float64);
- two values match when ``abs(a - b) < eps`` with eps the machine epsilon of
  the element type, strictly, so NaN matches nothing;
- the sense of a slope comes from its sign bit (``np.signbit``);
- operations are grouped exactly as in the module
  (``r = (x_j * k - y_j) + (A.y - A.x * k)``,
  ``d * d > (|J|^2 * |I|^2) * 0.75``, ...);
- the median is the value at position ``c // 2`` of the sorted collected
  line distances (the upper middle value), found by ``np.partition``;
- no ``fastmath``.

Numba is an optional, benchmark-only dependency (``requirements/bench.txt``).

    from numba_reference import annotate_scanlines_numba
    labels = annotate_scanlines_numba(x, y)
"""
from __future__ import annotations

import numpy as np
from numba import njit


def _build(T):
    """Compiles the implementation for element type T (np.float32 or np.float64)."""
    EPS = T(np.finfo(T).eps)              # 2^-23 or 2^-52
    ZERO = T(0.0)
    ONE = T(1.0)
    HALF = T(0.5)                          # factor on dist_prev_sq
    COS_SQ = T(0.75)                       # squared cosine of the reversal angle
    MIN_LINE = T(1e-8)                     # 1e-8 rounded to T
    FACTOR = T(100.0)

    @njit(cache=False, nogil=True)
    def merged_runs(x, y):
        """Point runs (equal x) merged on the fly (equal y), in one pass.

        Returns the merged runs as four arrays (x, y, first, last) of length
        count, where count is the number of merged runs.
        """
        n = x.shape[0]
        # Upper bound on the number of merged runs; np.empty only reserves
        # address space, so untouched pages cost nothing.
        mx = np.empty(n, dtype=T)
        my = np.empty(n, dtype=T)
        mfirst = np.empty(n, dtype=np.int64)
        mlast = np.empty(n, dtype=np.int64)
        count = 0

        # Merge state: the group of point runs in progress.
        g_open = False
        g_key = ZERO       # y of the group's first point run
        g_sum = ZERO       # sum of the point runs' x, in T
        g_cnt = 0
        g_first = 0
        g_last = 0

        # Run-detection state: the point run in progress.
        key = x[0]
        s = y[0]
        cnt = 1
        first = 0
        for j in range(1, n + 1):
            if j < n:
                xj = x[j]
                if abs(xj - key) < EPS:
                    s += y[j]
                    cnt += 1
                    continue
            # The point run [first, j - 1] is complete: feed it to the merge.
            rx = key
            ry = s / T(cnt)
            if not g_open:
                g_open = True
                g_key = ry
                g_sum = rx
                g_cnt = 1
                g_first = first
            elif abs(ry - g_key) < EPS:
                g_sum += rx
                g_cnt += 1
            else:
                mx[count] = g_sum / T(g_cnt)
                my[count] = g_key
                mfirst[count] = g_first
                mlast[count] = g_last
                count += 1
                g_key = ry
                g_sum = rx
                g_cnt = 1
                g_first = first
            g_last = j - 1
            if j < n:
                key = x[j]
                s = y[j]
                cnt = 1
                first = j
        # Close the last group.
        mx[count] = g_sum / T(g_cnt)
        my[count] = g_key
        mfirst[count] = g_first
        mlast[count] = g_last
        count += 1
        return mx, my, mfirst, mlast, count

    @njit(cache=False, nogil=True)
    def slope_of(px, py, qx, qy):
        dy = qy - py
        dx = qx - px
        if qx > px:
            return dy / dx
        return (-dy) / dx

    @njit(cache=False, nogil=True)
    def degenerate(px, py, qx, qy):
        return abs(px - qx) < EPS or abs(py - qy) < EPS

    @njit(cache=False, nogil=True)
    def sense(s):
        # 0: NaN (no sense), 1: rising (sign bit clear), -1: falling.
        if np.isnan(s):
            return 0
        return -1 if np.signbit(s) else 1

    @njit(cache=False, nogil=True)
    def doubles_back(ix, iy, ox, oy):
        d = ix * ox + iy * oy
        return d < ZERO and d * d > ((ox * ox + oy * oy) * (ix * ix + iy * iy)) * COS_SQ

    @njit(cache=False, nogil=True)
    def labels_from_merged(mx, my, mfirst, mlast, count, n):
        labels = np.full(n, np.int32(-1), dtype=np.int32)
        if count < 2:
            return labels

        # Turn candidates in path order (= ascending run index). Records that
        # the trim removes (the first top) are tracked only as "last record
        # of its set", never stored.
        cx = np.empty(count, dtype=T)
        cy = np.empty(count, dtype=T)
        cprev = np.empty(count, dtype=T)
        cline = np.empty(count, dtype=T)
        cfirst = np.empty(count, dtype=np.int64)
        clast = np.empty(count, dtype=np.int64)
        c = 0

        if degenerate(mx[0], my[0], mx[1], my[1]):
            m = ONE
        else:
            m = slope_of(mx[0], my[0], mx[1], my[1])
        # Last record of set_a and of set_b; both start at merged run 0.
        ax = mx[0]
        ay = my[0]
        bx = mx[0]
        by = my[0]
        a_records = 1      # records ever appended to set_a (incl. the start)

        for j in range(1, count - 1):
            px = mx[j]
            py = my[j]
            qx = mx[j + 1]
            qy = my[j + 1]
            if degenerate(px, py, qx, qy):
                v = m
            else:
                v = slope_of(px, py, qx, qy)
            s_before = sense(m)
            s_after = sense(v)
            turn = s_before == 0 or s_after == 0 or s_before != s_after
            m = v
            if not turn:
                continue

            # Squared distance to the line through A and B.
            if abs(bx - ax) < EPS:
                off = px - bx
                line = off * off
            else:
                k = (by - ay) / (bx - ax)
                r = (px * k - py) + (ay - ax * k)
                line = (r * r) / (k * k + ONE)

            if v < ZERO:
                dy = ay - py
                dx = ax - px
                prev = dy * dy + dx * dx
                ax = px
                ay = py
                a_records += 1
                keep = a_records > 2       # the trim drops the first top
            else:
                dy = by - py
                dx = bx - px
                prev = dy * dy + dx * dx
                bx = px
                by = py
                keep = True
            if keep:
                cx[c] = px
                cy[c] = py
                cprev[c] = prev
                cline[c] = line
                cfirst[c] = mfirst[j]
                clast[c] = mlast[j]
                c += 1

        if c < 2:
            return labels

        # Distance threshold: 100 x the upper median of the line distances
        # above MIN_LINE (NaN is never collected), at least 1.
        collected = np.empty(c, dtype=T)
        q = 0
        for i in range(c):
            if cline[i] > MIN_LINE:
                collected[q] = cline[i]
                q += 1
        if q == 0:
            threshold = ONE
        else:
            part = np.partition(collected[:q], q // 2)
            t = part[q // 2] * FACTOR
            threshold = t if t > ONE else ONE

        # Id assignment walk.
        next_id = 1
        is_open = False
        cursor = 0
        for k in range(1, c):
            too_far = cprev[k] > threshold or cprev[k] * HALF > cline[k]
            accepted = False
            if not too_far:
                ix = cx[k] - cx[k - 1]
                iy = cy[k] - cy[k - 1]
                backward = False
                if k >= 2:
                    backward = doubles_back(ix, iy, cx[k - 1] - cx[k - 2], cy[k - 1] - cy[k - 2])
                forward = False
                if k + 1 < c:
                    forward = doubles_back(ix, iy, cx[k + 1] - cx[k], cy[k + 1] - cy[k])
                accepted = backward or forward
            if accepted:
                mid = cfirst[k] + (clast[k] - cfirst[k]) // 2
                start = cursor if is_open else clast[k - 1] + 1
                end = min(mid + 1, n)
                ident = np.int32(next_id)
                for p in range(start, end):
                    labels[p] = ident
                next_id += 1
                cursor = mid + 1
                is_open = True
            elif is_open:
                end = min(cfirst[k], n)
                ident = np.int32(next_id)
                for p in range(cursor, end):
                    labels[p] = ident
                next_id += 1
                is_open = False
        return labels

    @njit(cache=False, nogil=True)
    def annotate(x, y):
        n = x.shape[0]
        if n == 0:
            return np.empty(0, dtype=np.int32)
        mx, my, mfirst, mlast, count = merged_runs(x, y)
        return labels_from_merged(mx, my, mfirst, mlast, count, n)

    return annotate


_annotate_f64 = _build(np.float64)
_annotate_f32 = _build(np.float32)


def annotate_scanlines_numba(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Same contract as ``rasterloom.annotate_scanlines`` for valid input."""
    if x.ndim != 1 or y.ndim != 1:
        raise TypeError("x and y must both be 1D numpy arrays of float64 or float32 type")
    if x.shape[0] != y.shape[0]:
        raise ValueError(f"Input x and y length mismatch: {x.shape[0]} vs {y.shape[0]}")
    if x.shape[0] > 1 and not (x.flags.c_contiguous and y.flags.c_contiguous):
        raise ValueError("x array must be contiguous" if not x.flags.c_contiguous
                         else "y array must be contiguous")
    if x.dtype == np.float64 and y.dtype == np.float64:
        return _annotate_f64(x, y)
    if x.dtype == np.float32 and y.dtype == np.float32:
        return _annotate_f32(x, y)
    raise TypeError("x and y must both be 1D numpy arrays of float64 or float32 type")


def warm_up() -> None:
    """Compiles both variants so that timings exclude compilation."""
    for dtype in (np.float64, np.float32):
        x = np.array([0, 0, 1, 1, 2, 2, 3, 3], dtype=dtype)
        y = np.array([0, 1, 1, 0, 0, 1, 1, 0], dtype=dtype)
        annotate_scanlines_numba(x, y)
