"""The battery's rows, from the engine's outputs: p-values per law, the words, and the table.

One function makes the rows of any number of groups (a single regression is
a panel of one group): the statistics, degrees of freedom and statuses come
from the engine; p-values are computed per law over all rows at once; the
words (labels, verdicts, notes, errors) are made once per distinct case and
the text columns are categoricals, so a table of a million groups costs
little beside the engine.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from . import _cusumsq
from ._distributions import chi2_sf_many, cusum_critical_value, cusum_pvalue, cusum_pvalues, f_sf_many, supf_tail
from ._engine import CODES, INFO, Run
from ._registry import REGISTRY, WHITE_SQUARES
from ._status import Status

COLUMNS = ("label", "statistic", "df", "pvalue", "status", "fallback", "reject_5pct", "verdict", "note", "error")

NOT_COMPUTED = "not computed"
NOT_APPLICABLE = "not applicable"
NO_PVALUE = "no p-value (see the statistic)"
NO_SCIPY = "no p-value: SciPy is not installed"

_OK = CODES["OK"]
_TOO_FEW = CODES["TOO_FEW_OBS"]
_UDEF = CODES["UDEF_VARIANCE"]
_BAD_BREAK = CODES["BAD_BREAK"]
_NOT_FINITE = CODES["NOT_FINITE"]
_F = {name[2:]: int(value) for name, value in CODES.items() if name.startswith("F_")}


@dataclass
class Groups:
    """What the words of G groups need beside the engine's numbers.

    ``n`` the rows of each group; ``names`` the columns of X; ``z_names``
    those of Z (Breusch-Pagan's variance regressors, when given); ``label``
    turns a row position of group g into the row's label (positions by
    default); ``gaps`` the gaps left inside each group by rows with missing
    values; ``unordered`` the groups whose row labels repeat (the tests that
    use the order of the rows refuse them); ``finite_error`` the message of
    each group holding a missing or infinite value; ``design`` the rows of X
    of group g (the auxiliary columns of a note are named after the columns
    that are not constant in the group).
    """

    n: np.ndarray
    names: tuple[str, ...]
    z_names: tuple[str, ...] | None = None
    label: Callable[[int, int], Any] | None = None
    gaps: np.ndarray | None = None
    unordered: dict[int, str] = field(default_factory=dict)
    finite_error: dict[int, str] = field(default_factory=dict)
    design: Callable[[int], np.ndarray] | None = None


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'s' if count != 1 else ''}"


# ---- the words of one row -----------------------------------------------------

def label(name: str, options: Any, df1: int = -1, at: Any = None, bandwidth: int | None = None,
          white_cross: bool = True) -> str:
    """The row's label: the test as printed, with its options (and, computed, its own numbers)."""
    test = REGISTRY[name]
    if name == "white" and not white_cross:
        return WHITE_SQUARES
    if name == "chow" and at is None:
        return "Chow"
    if name == "wald" and bandwidth is None:
        return f"Wald, HAC {options.kernel}: slopes = 0"
    return test.label.format(lags=options.lags, arch=options.arch, power=options.power, trim=options.trim,
                             kernel=options.kernel, bandwidth=bandwidth, df=df1 if df1 >= 0 else options.lags, at=at)


def _slopes(groups: Groups, g: int) -> list[str]:
    """The names of the columns of X that are not constant in group g."""
    if groups.design is None:
        return [n for n in groups.names if n != "const"]
    Xg = groups.design(g)
    varies = (Xg != Xg[:1]).any(axis=0) if Xg.shape[0] else np.zeros(Xg.shape[1], dtype=bool)
    return [n for n, v in zip(groups.names, varies.tolist()) if v]


def _aux_names(name: str, k: int, groups: Groups, g: int, white_cross: bool) -> str:
    """The name of column k of a test's auxiliary design."""
    if name in ("breusch_godfrey", "breusch_godfrey_f"):
        return f"e(t-{k + 1})"
    if name == "reset":
        return f"fitted^{k + 2}"
    if name == "arch_lm":
        return "const" if k == 0 else f"x(t-{k})^2"
    if name in ("breusch_pagan", "breusch_pagan_studentized"):
        cols = ["const", *(groups.z_names if groups.z_names is not None else _slopes(groups, g))]
        return cols[k] if k < len(cols) else f"column {k}"
    if name == "white":
        slopes = _slopes(groups, g)
        cols = ["const", *slopes]
        m = len(slopes)
        cols += [f"{slopes[i]}^2" if i == j else f"{slopes[i]}*{slopes[j]}"
                 for i in range(m) for j in range(i, m) if white_cross or i == j]
        return cols[k] if k < len(cols) else f"column {k}"
    return f"column {k}"


def _dropped(name: str, info: np.ndarray, groups: Groups, g: int, white_cross: bool) -> str:
    count = int(info[2])
    shown = [_aux_names(name, int(info[3 + i]), groups, g, white_cross) for i in range(min(count, 3))]
    if count > 3:
        shown.append(f"and {count - 3} more")
    what = "power" if name == "reset" else "auxiliary column"
    plural = count > 1
    return (f"{what}{'s' if plural else ''} {', '.join(shown)} dropped: "
            f"{'linear combinations' if plural else 'a linear combination'} of the others")


def notes(name: str, flags: int, info: np.ndarray, df1: int, df2: int, n: int, rank: int, p: int, options: Any,
          groups: Groups, g: int, white_cross: bool) -> list[str]:
    """What a computed row's numbers alone do not say."""
    out = []
    if flags & _F["DROPPED"]:
        out.append(_dropped(name, info, groups, g, white_cross))
    if flags & _F["LATE_START"]:
        start, m = int(info[0]), int(info[1])
        out.append(f"the recursion starts at row {start + 1}: the first {start} rows have rank below {rank}, "
                   f"so {m} of {n} rows get a recursive residual")
    if flags & _F["CLAMPED"]:
        what = "bandwidth" if name == "wald" else "lags"
        out.append(f"{what} clamped from {int(info[0])} to n - 1 = {int(info[1])}")
    if flags & _F["NO_CONSTANT"]:
        out.append("X has no constant: the auxiliary regression has none either")
    if flags & _F["SEGMENT_RANK"]:
        out.append(f"a segment has rank below {rank}: F has ({df1}, {df2}) degrees of freedom instead of "
                   f"({rank}, {n - 2 * rank})")
    if flags & _F["FLAT"]:
        out.append("the squared residuals are all equal: nothing to explain")
    if flags & _F["FEW_OBS"]:
        out.append(f"only {n} observations: the chi2(2) approximation is unreliable below 10")
    if flags & _F["PSEUDO"]:
        out.append(f"cov has rank {int(info[3])} of {int(info[4])}: pseudo-inverse used")
    if flags & _F["UNIDENTIFIED"]:
        if name == "sup_f":
            out.append(f"X has rank {rank} of {p} columns: sup-F on its {rank} independent columns")
        else:
            out.append(f"X has rank {rank} of {p} columns: the coefficients tested are the identified ones")
    if name == "sup_f":
        position, lo, hi = int(info[0]), int(info[1]), int(info[3])
        where = f"row {position}"
        if groups.label is not None:
            where += f" ({groups.label(g, position)})"
        out.append(f"largest F with the second regime from {where}, over {hi - lo + 1} candidate breaks at rows "
                   f"{lo} to {hi}")
        if flags & _F["SKIPPED"]:
            skipped = int(info[2])
            out.append(f"{_plural(skipped, 'break')} left out: a regime is rank-deficient")
    return out


def refusal(name: str, status: int, info: np.ndarray, n: int, rank: int, p: int, options: Any, groups: Groups,
            g: int, white_cross: bool) -> str:
    """The message of a row without a statistic: why the test does not apply, or why it could not be computed."""
    if status == _NOT_FINITE:
        return groups.finite_error.get(g, "the group holds a missing or infinite value")
    if status == _BAD_BREAK:
        return (f"break outside the sample: the second regime must start at position 1 to {n - 1}, "
                f"got {int(info[0])}")
    if status == _UDEF:
        if rank < n and name not in ("recursive_residuals", "cusum", "cusum_squares", "reset", "wald", "ljung_box",
                                     "box_pierce", "jarque_bera"):
            return "zero variance: the regression fits the data exactly, the residuals are all zero up to rounding"
        return {
            "recursive_residuals": "zero variance: the recursive residuals are all equal",
            "cusum": "zero variance: the regression fits the data exactly",
            "cusum_squares": "zero variance: the recursive residuals are all zero",
            "reset": "zero variance: the augmented regression fits the data exactly, or the fitted values are "
                     "all zero",
            "wald": "zero variance: the covariance of the slopes is zero",
        }.get(name, "zero variance: x is constant")
    # Too few observations for the test: it does not apply.
    if n <= rank:
        return (f"too few observations: {n} observations for {rank} independent regressors leave no residual "
                "degrees of freedom")
    lags, arch = options.lags, options.arch
    if name in ("breusch_godfrey", "breusch_godfrey_f"):
        return (f"too few observations: {lags} lags and {rank} regressors leave no degrees of freedom in the "
                f"auxiliary regression of {n} observations (lags can be at most {n - rank - 1})")
    if name in ("breusch_pagan", "breusch_pagan_studentized"):
        return ("Z has no non-constant column: there is nothing the variance could depend on"
                if int(info[2]) == 0 and groups.z_names is not None and not groups.z_names else
                "too few observations for the variance regression, or no non-constant column in it: "
                f"{n} observations")
    if name == "chow":
        return f"too few observations: the Chow test with {rank} regressors needs more than {2 * rank} " \
               f"observations, got {n}"
    if name in ("recursive_residuals", "cusum", "cusum_squares"):
        start, m = int(info[0]), int(info[1])
        need = {"recursive_residuals": 2, "cusum": 2 if options.cusum_scale == "recursive" else 1,
                "cusum_squares": 3}[name]
        if start < 0 or start >= n:
            return (f"too few observations: the recursion cannot start, the first {n - 1} of {n} rows have rank "
                    f"below {rank} (the rank of X), so no row gets a recursive residual")
        why = (f"the recursion starts at row {start + 1}: the first {start} rows have rank below {rank}, so {m} of "
               f"{n} rows get a recursive residual") if start > rank else f"{_plural(m, 'row')} get a recursive residual"
        return f"too few observations: {why}, and at least {need} recursive residuals are needed"
    if name in ("ljung_box", "box_pierce", "jarque_bera", "durbin_watson"):
        return f"too few observations: the test needs at least 2 observations, got {n}"
    if name == "wald":
        return "X has no non-constant column: there is no slope to test"
    if name == "white":
        if not _slopes(groups, g):
            return "X has no non-constant column: there is nothing the variance could depend on"
        q = int(info[0])
        return (f"too few observations: White's auxiliary regression has {q} columns, it needs more than {q} "
                f"observations, got {n}")
    if name == "arch_lm":
        return f"too few observations: ARCH LM with {arch} lags needs more than {2 * arch + 1} observations, got {n}"
    if name == "reset":
        return ("the powers of the fitted values are linear combinations of the columns of X, or leave no "
                f"degrees of freedom in {n} observations: there is nothing to test")
    if name == "sup_f":
        if n <= 2 * rank:
            return (f"too few observations: a Chow test with {rank} regressors needs more than {2 * rank} "
                    f"observations, got {n}")
        return (f"too few observations: with trim {options.trim:g} and {rank} regressors no break of {n} "
                "observations leaves each regime a full-rank design")
    return "too few observations for the test"


def distribution(name: str, df1: int, df2: int, info: np.ndarray, n: int) -> str:
    law = REGISTRY[name].law
    if law == "chi2":
        return f"chi2({df1})"
    if law == "F":
        return f"F({df1}, {df2})"
    if law == "t":
        return f"t({df1}), two-sided"
    if law == "cusum":
        return "Brownian motion boundary crossing"
    if law == "cusumsq":
        return f"max |s_i - i/m|, m = {int(info[1])}"
    if law == "supf":
        lo, hi = int(info[1]), int(info[3])
        return f"sup-F limit law (p={df1}, break fractions {lo / n:.3g} to {hi / n:.3g})"
    return "no p-value (the null law depends on X)"


# ---- many rows ------------------------------------------------------------------

def _logit(x: float) -> float:
    return math.log(x / (1.0 - x))


# The laws whose tails are SciPy's special functions.
_SPECIAL_LAWS = ("chi2", "F", "t")


def _special_tail(law: str, stat: Any, df1: Any, df2: Any) -> Any:
    """P(statistic > stat) under a law of _SPECIAL_LAWS, elementwise on arrays or on numbers (None without
    SciPy); a t statistic's two-sided tail is that of t² under F(1, df1)."""
    if law == "chi2":
        return chi2_sf_many(stat, df1)
    if law == "F":
        return f_sf_many(stat, df1, df2)
    return f_sf_many(stat * stat, 1.0, df1)


def pvalues(name: str, stat: np.ndarray, df1: np.ndarray, df2: np.ndarray, info: np.ndarray,
            n: np.ndarray) -> tuple[np.ndarray | None, list[str | None] | None]:
    """The p-values of one test's computed rows, per its law (None without SciPy for the laws needing it);
    sup-F also gives each row's far-tail note (or None)."""
    law = REGISTRY[name].law
    if stat.size == 0:
        return np.empty(0), None
    if law in _SPECIAL_LAWS:
        return _special_tail(law, stat, df1.astype(np.float64), df2.astype(np.float64)), None
    if law == "cusum":
        return cusum_pvalues(stat), None
    if law == "cusumsq":
        out = np.empty(stat.shape)
        m = info[:, 1]
        for value in np.unique(m).tolist():
            rows = m == value
            out[rows] = _cusumsq.pvalues(stat[rows], int(value))
        return out, None
    if law == "supf":
        out = np.empty(stat.shape)
        far: list[str | None] = []
        for i in range(stat.shape[0]):
            lo, hi = int(info[i, 1]) / int(n[i]), int(info[i, 3]) / int(n[i])
            tail = supf_tail(float(df1[i]) * float(stat[i]), int(df1[i]), _logit(hi) - _logit(lo))
            if tail is None:
                return None, None
            out[i], log_p = tail
            far.append(f"p-value below the smallest positive double (log10 p = {log_p / math.log(10.0):.1f}): "
                       "reported as 0" if out[i] == 0.0 and math.isfinite(log_p) else None)
        return out, far
    return np.full(stat.shape, math.nan), None


@functools.lru_cache(maxsize=1)
def _dtypes() -> Any:
    import pandas as pd

    return pd.BooleanDtype()


class _Words:
    """Texts made once each, with a code per row: the categories of a text column."""

    def __init__(self) -> None:
        self.codes: dict[str, int] = {}
        self.texts: list[str] = []

    def code(self, text: str | None) -> int:
        if text is None:
            return -1
        found = self.codes.get(text)
        if found is None:
            found = self.codes[text] = len(self.texts)
            self.texts.append(text)
        return found

    def column(self, codes: np.ndarray, as_categorical: bool) -> Any:
        """The column of the codes: the texts (NaN where missing), or a categorical whose categories are
        sorted (so that tables built in pieces and concatenated, as on Dask, have the same categories as
        one built at once)."""
        if not as_categorical:
            texts = np.empty(len(self.texts) + 1, dtype=object)
            texts[:-1] = self.texts
            texts[-1] = np.nan  # code -1: missing, as pandas' text columns hold it
            return texts[codes]
        order = sorted(range(len(self.texts)), key=self.texts.__getitem__)
        renumber = np.empty(len(self.texts) + 1, dtype=np.int32)
        renumber[order] = np.arange(len(order), dtype=np.int32)
        renumber[-1] = -1  # a missing text keeps code -1
        return categorical(renumber[codes], [self.texts[i] for i in order])


def categorical(codes: np.ndarray, categories: list[str]) -> Any:
    """A pandas categorical of text: codes into the sorted, distinct categories, -1 missing (the codes
    come from the categories' own numbering, so pandas need not check them)."""
    import pandas as pd

    dtype = pd.CategoricalDtype(pd.Index(np.array(categories, dtype=object), dtype=object))
    return pd.Categorical.from_codes(codes, dtype=dtype, validate=False)


@dataclass
class Rows:
    """The table's columns for G groups and K tests, G·K rows in group-major order, plus what result
    objects need besides (``distribution``, ``alternative``; ``engine_status``: the engine's status)."""

    columns: dict[str, Any]
    distribution: np.ndarray | None
    alternative: np.ndarray | None
    engine_status: np.ndarray


def _pack(columns: list[np.ndarray]) -> np.ndarray:
    """One int64 key per row from small non-negative int columns (each below 2^15 after a shift by 1),
    or, when they do not fit, the rows' codes from a sort."""
    fits = all(c.size == 0 or (int(c.min()) >= -1 and int(c.max()) < (1 << 15) - 1) for c in columns)
    if fits and len(columns) <= 4:
        key = np.zeros(columns[0].shape, dtype=np.int64)
        for c in columns:
            key = (key << 15) | (c.astype(np.int64) + 1)
        return key
    return np.unique(np.stack(columns, axis=1), axis=0, return_inverse=True)[1].reshape(-1)


def _cases(columns: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """The distinct rows of int columns of one length: each case's first row and every row's case.  The
    columns that do not vary are left out of the key (usually most of them)."""
    size = columns[0].shape[0]
    varying = [c for c in columns if size and int(c.min()) != int(c.max())]
    if not varying:
        return np.zeros(min(size, 1), dtype=np.int64), np.zeros(size, dtype=np.int64)
    if len(varying) == 1 and int(varying[0].max()) - int(varying[0].min()) < _FEW_VALUES:
        # One column of a few values (a decision, say): its values in increasing order, without a sort.
        shifted = varying[0].astype(np.int64) - int(varying[0].min())
        values = np.flatnonzero(np.bincount(shifted))
        case = np.zeros(_FEW_VALUES, dtype=np.int64)
        case[values] = np.arange(values.size)
        return np.array([int(np.argmax(shifted == v)) for v in values.tolist()], dtype=np.int64), case[shifted]
    _, first, inverse = np.unique(_pack(varying), return_index=True, return_inverse=True)
    return first, inverse.reshape(-1)


# A column with fewer distinct values than this in its range is cased without a sort.
_FEW_VALUES = 64


# From this many groups on, the words of regular rows are made once per distinct case.
_VECTORISE = 16
# From this many groups on, a table's p-values may be computed on several threads.
_THREADED_TABLE = 1024


def rows(run: Any, tests: tuple[str, ...], options: Any, groups: Groups, white_cross: bool = True,
         details: bool = False, compact: bool = False, categorical_text: bool = False, threads: int = 1) -> Rows:
    """The rows of every group of an engine run, for the tests asked.

    The text columns are object arrays of str (NaN where missing) or, with
    ``categorical_text``, pandas categoricals: a text is made once, whatever
    the number of rows that show it.

    ``run`` holds the engine's per-test outputs in its slots (an ``_engine.Run``)
    or, ``compact``, only those of ``tests``, in their order.  ``details``
    also gives each row's law (``distribution``) and the meaning of a
    rejection (``alternative``), as the result objects show them.  With
    ``threads`` above one the p-values of a large table (SciPy's and NumPy's
    loops, which run without the interpreter lock) are computed on that many
    threads, one test per task; each is the same function of the same
    values either way.
    """
    G, K = run.stat.shape[0], len(tests)
    if G == 1 and not categorical_text:
        return _rows_of_one(run, tests, options, groups, white_cross, compact)
    p = len(groups.names)
    words = {name: _Words() for name in ("label", "verdict", "note", "error")}
    statistic = np.full((G, K), math.nan)
    pvalue = np.full((G, K), math.nan)
    status = np.zeros((G, K), dtype=np.int64)
    reject = np.full((G, K), -1, dtype=np.int8)  # -1: undecided
    codes = {name: np.full((G, K), -1, dtype=np.int32) for name in words}
    df_values: list[Any] = [None]
    df_index: dict[Any, int] = {None: 0}
    df_codes = np.zeros((G, K), dtype=np.int64)
    distribution = np.full((G, K), None, dtype=object) if details else None
    alternative = np.full((G, K), None, dtype=object) if details else None
    engine_status = np.zeros((G, K), dtype=np.int32)
    n_all = groups.n
    ranks = run.rank
    gapped = (groups.gaps if groups.gaps is not None else np.zeros(G, dtype=np.int64)) > 0
    unordered = np.zeros(G, dtype=bool)
    for g in groups.unordered:
        unordered[g] = True
    # Every test's outputs side by side (G x K), and the statuses of all rows at once: a computed row's
    # (Jarque-Bera's small-sample warning: the kernel's -5), a refusal's.
    if compact:  # the outputs of the tests asked, in their order: read as they are
        ST, FL, INFO_, D1, D2, STAT = run.status, run.flags, run.info, run.df1, run.df2, run.stat
    else:
        slots = [REGISTRY[name].slot for name in tests]
        ST, FL, INFO_ = run.status[:, slots], run.flags[:, slots], run.info[:, slots, :]
        D1, D2, STAT = run.df1[:, slots], run.df2[:, slots], run.stat[:, slots]
    engine_status[:] = ST
    ordered = np.array([REGISTRY[name].ordered for name in tests], dtype=bool)
    REFUSED = unordered[:, None] & ordered[None, :]
    OK = (ST == _OK) & ~REFUSED
    np.copyto(statistic, STAT, where=OK)
    status[:] = np.where(ST == _TOO_FEW, int(Status.NOT_APPLICABLE),
                         np.where(ST == _NOT_FINITE, int(Status.UNDEFINED_VARIANCE), ST))
    status[OK] = 0
    status[OK & ((FL & _F["FEW_OBS"]) != 0)] = int(Status.TOO_FEW_OBS)
    status[REFUSED] = int(Status.BAD_INPUT)

    def tails(k: int) -> tuple[np.ndarray, tuple[np.ndarray | None, list[str | None] | None]]:
        computed = np.flatnonzero(OK[:, k])
        return computed, pvalues(tests[k], STAT[computed, k], D1[computed, k], D2[computed, k],
                                 INFO_[computed, k, :], n_all[computed])

    if threads > 1 and K > 1 and G >= _THREADED_TABLE:
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="kestrix-table") as pool:
            laws = list(pool.map(tails, range(K)))
    else:
        laws = [tails(k) for k in range(K)]
    for k, name in enumerate(tests):
        test = REGISTRY[name]
        st, fl, info, d1, d2, stat = ST[:, k], FL[:, k], INFO_[:, k, :], D1[:, k], D2[:, k], STAT[:, k]
        refused_order = REFUSED[:, k]
        ok = OK[:, k]
        law = test.law
        rows_ok, (pv, far) = laws[k]
        if pv is not None:
            pvalue[rows_ok, k] = pv
            decided = ~np.isnan(pv)
            reject[rows_ok[decided], k] = (pv[decided] < 0.05).astype(np.int8)
        # Computed rows without notes: their words depend on a few numbers, made once per distinct case
        # (for a few groups, row by row below costs less).
        regular = ok & (fl == 0) & ~gapped & (name != "sup_f") & (G >= _VECTORISE)
        rr = np.flatnonzero(regular)
        if rr.size:
            extra = info[rr, 0] if name == "chow" else (info[rr, 1] if name in ("wald", "cusum_squares") else
                                                        np.zeros(rr.size, dtype=np.int64))
            if name == "chow" and groups.label is not None:
                extra = rr  # the break's label may differ by group
            first, inverse = _cases([d1[rr], d2[rr], extra, reject[rr, k].astype(np.int64)])
            case_codes = {name_: np.empty(first.size, dtype=np.int32) for name_ in ("label", "verdict", "note")}
            case_df = np.empty(first.size, dtype=np.int64)
            case_dist: list[str] = []
            case_alt: list[str] = []
            for c, i0 in enumerate(first.tolist()):
                i = int(rr[i0])
                texts = _computed_words(name, i, info[i], int(d1[i]), int(d2[i]), int(n_all[i]), int(ranks[i]), p,
                                        options, groups, white_cross, pvalue[i, k], pv is None, [])
                case_codes["label"][c] = words["label"].code(texts[0])
                case_codes["verdict"][c] = words["verdict"].code(texts[1])
                case_codes["note"][c] = -1
                case_df[c] = _df_code(law, int(d1[i]), int(d2[i]), df_values, df_index)
                case_dist.append(texts[2])
                case_alt.append(texts[3])
            for name_ in ("label", "verdict"):
                codes[name_][rr, k] = case_codes[name_][inverse]
            df_codes[rr, k] = case_df[inverse]
            if details:
                distribution[rr, k] = np.array(case_dist, dtype=object)[inverse]
                alternative[rr, k] = np.array(case_alt, dtype=object)[inverse]
        # Refused rows: their words depend on the status, the group's size and rank and the engine's words
        # (White's also on which columns of the group vary, a missing value's on the group), made once per
        # distinct case.
        alike = ~ok & ~refused_order & (st != _NOT_FINITE) & (name != "white") & (G >= _VECTORISE)
        fr = np.flatnonzero(alike)
        if fr.size:
            first, inverse = _cases([st[fr], n_all[fr], ranks[fr], *info[fr].T])
            made_codes = np.empty((first.size, 4), dtype=np.int32)
            for c, i0 in enumerate(first.tolist()):
                i = int(fr[i0])
                s_ = int(st[i])
                message = refusal(name, s_, info[i], int(n_all[i]), int(ranks[i]), p, options, groups, i,
                                  white_cross)
                made_codes[c] = (words["label"].code(label(name, options, white_cross=white_cross)),
                                 words["verdict"].code(NOT_APPLICABLE if s_ == _TOO_FEW else NOT_COMPUTED),
                                 words["note"].code(message) if s_ == _TOO_FEW else -1,
                                 -1 if s_ == _TOO_FEW else words["error"].code(message))
            for j, name_ in enumerate(("label", "verdict", "note", "error")):
                codes[name_][fr, k] = made_codes[inverse, j]
        # Computed rows with notes: their words depend on the group itself only through the names of
        # dropped columns, the labels of a break and the notes of gaps and of sup-F (those go row by row);
        # the others are made once per distinct case of the numbers they read.
        noted = ok & (fl != 0) & ((fl & _F["DROPPED"]) == 0) & ~gapped & (name not in ("sup_f", "chow")) & \
            (G >= _VECTORISE)
        fc = np.flatnonzero(noted)
        if fc.size:
            first, inverse = _cases([fl[fc], d1[fc], d2[fc], n_all[fc], ranks[fc], reject[fc, k], *info[fc].T])
            made_codes = np.empty((first.size, 4), dtype=np.int64)
            case_dist, case_alt = [], []
            for c, i0 in enumerate(first.tolist()):
                i = int(fc[i0])
                texts = _computed_words(name, i, info[i], int(d1[i]), int(d2[i]), int(n_all[i]), int(ranks[i]), p,
                                        options, groups, white_cross, pvalue[i, k], pv is None, [], flags=int(fl[i]))
                made_codes[c] = (words["label"].code(texts[0]), words["verdict"].code(texts[1]),
                                 words["note"].code(texts[4]), _df_code(law, int(d1[i]), int(d2[i]), df_values,
                                                                        df_index))
                case_dist.append(texts[2])
                case_alt.append(texts[3])
            for j, name_ in enumerate(("label", "verdict", "note")):
                codes[name_][fc, k] = made_codes[inverse, j]
            df_codes[fc, k] = made_codes[inverse, 3]
            if details:
                distribution[fc, k] = np.array(case_dist, dtype=object)[inverse]
                alternative[fc, k] = np.array(case_alt, dtype=object)[inverse]
        # Every other row: its words made row by row (a refusal's case once, through a cache).
        cache: dict[Any, tuple[int, int, int, int]] = {}
        for i in np.flatnonzero(~regular & ~alike & ~noted).tolist():
            g = i
            n, r, s = int(n_all[g]), int(ranks[g]), int(st[i])
            if refused_order[i]:
                codes["label"][i, k] = words["label"].code(label(name, options, white_cross=white_cross))
                codes["verdict"][i, k] = words["verdict"].code(NOT_COMPUTED)
                codes["error"][i, k] = words["error"].code(groups.unordered[g])
                continue
            if s != _OK:
                key_ = (s, n, r, *info[i].tolist()) if s != _NOT_FINITE else (s, g)
                hit = cache.get(key_)
                if hit is None:
                    message = refusal(name, s, info[i], n, r, p, options, groups, g, white_cross)
                    lab = words["label"].code(label(name, options, white_cross=white_cross))
                    if s == _TOO_FEW:
                        hit = (lab, words["verdict"].code(NOT_APPLICABLE), words["note"].code(message), -1)
                    else:
                        hit = (lab, words["verdict"].code(NOT_COMPUTED), -1, words["error"].code(message))
                    cache[key_] = hit
                (codes["label"][i, k], codes["verdict"][i, k], codes["note"][i, k], codes["error"][i, k]) = hit
                continue
            extra_notes = []
            if far is not None:
                j = int(np.searchsorted(rows_ok, i))
                if far[j]:
                    extra_notes.append(far[j])
            if test.ordered and gapped[g]:
                extra_notes.append(f"{_plural(int(groups.gaps[g]), 'gap')} inside the sample from rows with missing "
                                   "values: the rows either side are treated as adjacent")
            texts = _computed_words(name, i, info[i], int(d1[i]), int(d2[i]), n, r, p, options, groups, white_cross,
                                    pvalue[i, k], pv is None, extra_notes, flags=int(fl[i]))
            codes["label"][i, k] = words["label"].code(texts[0])
            codes["verdict"][i, k] = words["verdict"].code(texts[1])
            codes["note"][i, k] = words["note"].code(texts[4])
            df_codes[i, k] = _df_code(law, int(d1[i]), int(d2[i]), df_values, df_index)
            if details:
                distribution[i, k] = texts[2]
                alternative[i, k] = texts[3]
    import pandas as pd

    decided_all = reject >= 0
    reject_col: Any
    if decided_all.all():
        reject_col = (reject == 1).ravel()
    else:
        values = np.where(decided_all, reject == 1, False).ravel()
        reject_col = pd.arrays.BooleanArray(values, ~decided_all.ravel())
    df_table = np.empty(len(df_values), dtype=object)
    df_table[:] = df_values
    columns = {
        "label": words["label"].column(codes["label"].ravel(), categorical_text),
        "statistic": statistic.ravel(),
        "df": df_table[df_codes.ravel()],
        "pvalue": pvalue.ravel(),
        "status": status.ravel(),
        "fallback": np.zeros(G * K, dtype=bool),
        "reject_5pct": reject_col,
        "verdict": words["verdict"].column(codes["verdict"].ravel(), categorical_text),
        "note": words["note"].column(codes["note"].ravel(), categorical_text),
        "error": words["error"].column(codes["error"].ravel(), categorical_text),
    }
    return Rows(columns, None if distribution is None else distribution.ravel(),
                None if alternative is None else alternative.ravel(), engine_status.ravel())


def _pvalue_of_one(name: str, stat: float, d1: int, d2: int, info: np.ndarray, n: int) -> tuple[Any, Any]:
    """``pvalues`` of one row: the p-value (None without SciPy) and sup-F's far-tail note (or None).  SciPy's
    laws are called on the Python numbers (the same function of the same values as the vectorised path,
    without its arrays)."""
    law = REGISTRY[name].law
    if law in _SPECIAL_LAWS:
        tail = _special_tail(law, stat, float(d1), float(d2))
        return (None, None) if tail is None else (float(tail), None)
    if law == "cusum":
        return cusum_pvalue(stat), None
    if law == "cusumsq":
        return _cusumsq.pvalue(stat, int(info[1])), None
    pv, far = pvalues(name, np.array([stat]), np.array([d1]), np.array([d2]), info[None, :], np.array([n]))
    return (None, None) if pv is None else (float(pv[0]), None if far is None else far[0])


def _rows_of_one(run: Any, tests: tuple[str, ...], options: Any, groups: Groups, white_cross: bool,
                 compact: bool) -> Rows:
    """``rows`` for a single group, one test after another on Python numbers: the same words, statuses and
    p-values as the vectorised path, without its cost per array (a single regression is the common call)."""
    import pandas as pd

    K = len(tests)
    n, r, p = int(groups.n[0]), int(run.rank[0]), len(groups.names)
    unordered = groups.unordered.get(0)
    gaps = int(groups.gaps[0]) if groups.gaps is not None else 0
    ST, FL = run.status[0].tolist(), run.flags[0].tolist()
    D1, D2, STAT = run.df1[0].tolist(), run.df2[0].tolist(), run.stat[0].tolist()
    labels, verdicts, notes_ = [], [], []
    errors: list[Any] = []
    statistic = np.full(K, math.nan)
    pvalue = np.full(K, math.nan)
    status = np.zeros(K, dtype=np.int64)
    engine_status = np.zeros(K, dtype=np.int32)
    dfs = np.empty(K, dtype=object)
    rejects: list[bool | None] = []
    distribution = np.empty(K, dtype=object)
    alternative = np.empty(K, dtype=object)
    for k, name in enumerate(tests):
        test = REGISTRY[name]
        slot = k if compact else test.slot
        st, fl, d1, d2, info = ST[slot], FL[slot], D1[slot], D2[slot], run.info[0, slot]
        engine_status[k] = st
        note = error = None
        reject = None
        if test.ordered and unordered is not None:
            status[k] = int(Status.BAD_INPUT)
            text = (label(name, options, white_cross=white_cross), NOT_COMPUTED)
            error = unordered
        elif st != _OK:
            message = refusal(name, st, info, n, r, p, options, groups, 0, white_cross)
            status[k] = int(Status.NOT_APPLICABLE) if st == _TOO_FEW else \
                int(Status.UNDEFINED_VARIANCE) if st == _NOT_FINITE else st
            text = (label(name, options, white_cross=white_cross), NOT_APPLICABLE if st == _TOO_FEW else NOT_COMPUTED)
            if st == _TOO_FEW:
                note = message
            else:
                error = message
        else:
            statistic[k] = STAT[slot]
            status[k] = int(Status.TOO_FEW_OBS) if fl & _F["FEW_OBS"] else 0
            pv, far = _pvalue_of_one(name, STAT[slot], d1, d2, info, n)
            if pv is not None:
                pvalue[k] = pv
                reject = None if math.isnan(pv) else pv < 0.05
            extra_notes = [far] if far else []
            if test.ordered and gaps:
                extra_notes.append(f"{_plural(gaps, 'gap')} inside the sample from rows with missing values: the "
                                   "rows either side are treated as adjacent")
            words = _computed_words(name, 0, info, d1, d2, n, r, p, options, groups, white_cross, pvalue[k],
                                    pv is None, extra_notes, flags=fl)
            text = words[:2]
            note = words[4]
            distribution[k], alternative[k] = words[2], words[3]
            law = test.law
            dfs[k] = d1 if law in ("chi2", "t") else ((d1, d2) if law in ("F", "supf") else None)
        labels.append(text[0])
        verdicts.append(text[1])
        notes_.append(np.nan if note is None else note)
        errors.append(np.nan if error is None else error)
        rejects.append(reject)
    if all(v is not None for v in rejects):
        reject_col: Any = np.array(rejects, dtype=bool)
    else:
        reject_col = pd.arrays.BooleanArray(np.array([bool(v) for v in rejects]),
                                            np.array([v is None for v in rejects]))

    def texts(values: list[Any]) -> np.ndarray:
        out = np.empty(K, dtype=object)
        out[:] = values
        return out

    columns = {
        "label": texts(labels), "statistic": statistic, "df": dfs, "pvalue": pvalue, "status": status,
        "fallback": np.zeros(K, dtype=bool), "reject_5pct": reject_col, "verdict": texts(verdicts),
        "note": texts(notes_), "error": texts(errors),
    }
    return Rows(columns, distribution, alternative, engine_status)


def _df_code(law: str, d1: int, d2: int, values: list[Any], index: dict[Any, int]) -> int:
    """The code of a row's degrees of freedom as its law reads them (an int, a pair, or None)."""
    key: Any = d1 if law in ("chi2", "t") else ((d1, d2) if law in ("F", "supf") else None)
    code = index.get(key)
    if code is None:
        code = index[key] = len(values)
        values.append(key)
    return code


def _computed_words(name: str, g: int, info: np.ndarray, d1: int, d2: int, n: int, r: int, p: int, options: Any,
                    groups: Groups, white_cross: bool, p_value: float, no_scipy: bool, extra_notes: list[str],
                    flags: int = 0) -> tuple[str, str, str, str, str | None]:
    """Label, verdict, law, alternative and note of a computed row."""
    test = REGISTRY[name]
    at = None
    if name == "chow":
        position = int(info[0])
        at = groups.label(g, position) if groups.label is not None else position
    row_label = label(name, options, d1, at, int(info[1]) if name == "wald" else None, white_cross)
    alt = test.alternative.format(at=at) if name == "chow" else test.alternative
    law = test.law
    if law == "none":
        verdict = NO_PVALUE
    elif no_scipy and law not in ("cusum", "cusumsq"):
        verdict = NO_SCIPY
    elif math.isnan(p_value):
        verdict = "undefined (p-value is NaN)"
    else:
        verdict = f"reject: {alt}" if p_value < 0.05 else "not rejected"
    texts = notes(name, flags, info, d1, d2, n, r, p, options, groups, g, white_cross) \
        if flags or name == "sup_f" else []
    texts += extra_notes
    return row_label, verdict, distribution(name, d1, d2, info, n), alt, "; ".join(texts) if texts else None


@functools.lru_cache(maxsize=1)
def _text_dtype() -> Any:
    """The dtype pandas gives a column of Python strings (its string dtype, or None where that is object)."""
    import pandas as pd

    probe = np.empty(1, dtype=object)
    probe[0] = "text"
    dtype = pd.DataFrame({"probe": probe}, copy=False)["probe"].dtype
    return None if dtype == object else dtype


@functools.lru_cache(maxsize=1)
def _column_index() -> Any:
    import pandas as pd

    return pd.Index(list(COLUMNS))


def _probe_columns() -> list[Any]:
    """Two rows of every kind of column a table has, for the checks of the fast constructions below."""
    import pandas as pd

    def text(*values: Any) -> np.ndarray:
        out = np.empty(len(values), dtype=object)
        out[:] = values
        return out

    return [text("a", "b"), np.array([1.5, math.nan]), text(3, (1, 2)), np.array([0.5, 0.25]),
            np.array([0, -8], dtype=np.int64), np.zeros(2, dtype=bool),
            pd.arrays.BooleanArray(np.array([True, False]), np.array([False, True])), text("x", math.nan),
            text(math.nan, "y"), text(math.nan, math.nan)]


@functools.lru_cache(maxsize=1)
def _text_maker() -> Callable[[np.ndarray], Any] | None:
    """What turns an object array of text (NaN where missing) into pandas' string column as the constructor
    makes it (None where pandas keeps text as object).  With Arrow storage the Arrow array is made in one
    call, where the sequence constructor would first check every value; that way is used only when it gives
    what the constructor gives."""
    text = _text_dtype()
    if text is None:
        return None
    kind = text.construct_array_type()

    def checked(values: np.ndarray) -> Any:
        return kind._from_sequence(values, dtype=text)

    if getattr(text, "storage", None) != "pyarrow":
        return checked
    try:
        import pyarrow as pa

        arrow_type = checked(_probe_columns()[0])._pa_array.type

        def direct(values: np.ndarray) -> Any:
            return kind(pa.array(values, type=arrow_type, from_pandas=True), dtype=text)

        for probe in _probe_columns()[7:]:
            made, expected = direct(probe), checked(probe)
            if made.dtype != expected.dtype or not made.equals(expected):
                return checked
    except Exception:  # noqa: BLE001 - any pandas or pyarrow without these entry points
        return checked
    return direct


@functools.lru_cache(maxsize=1)
def _assembler() -> Callable[[list[Any], Any], Any]:
    """What makes a DataFrame of the table's columns (arrays of their final types) and an index.  pandas'
    own way copies the columns of one type into one block; a table of ten rows costs less with a block per
    column, which is used where this pandas offers it and makes the same frame."""
    import pandas as pd

    def consolidated(arrays: list[Any], index: Any) -> Any:
        return pd.DataFrame._from_arrays(arrays, columns=_column_index(), index=index, verify_integrity=False)

    try:
        from pandas.core.internals.managers import create_block_manager_from_column_arrays as blocks

        make = pd.DataFrame._from_mgr

        def separate(arrays: list[Any], index: Any) -> Any:
            manager = blocks(arrays, [_column_index(), index], consolidate=False, refs=[None] * len(arrays))
            return make(manager, axes=manager.axes)

        index = pd.Index(["r0", "r1"])
        pd.testing.assert_frame_equal(separate(_probe_columns(), index), consolidated(_probe_columns(), index))
    except Exception:  # noqa: BLE001 - any pandas without these internals, or where they differ
        return consolidated
    return separate


#: Tables of up to this many rows are assembled from their typed arrays (see ``frame``).
SMALL_TABLE = 4096

def frame(cols: dict[str, Any], index: Any) -> Any:
    """The DataFrame of the columns, in the order of COLUMNS: ``pd.DataFrame(cols, index=index)``.

    A small table (one regression's) is made from arrays that already have
    their final types, without the constructor's checks of every column,
    which are most of its time there: an object column of text (missing
    values allowed) becomes pandas' string column, as the constructor would
    make it, and the rest go in as they are.  A large one goes through the
    constructor, which leaves each column in its own block where the other
    way would copy the columns of one type into one.
    """
    import pandas as pd

    if getattr(pd.DataFrame, "_from_arrays", None) is None or len(index) > SMALL_TABLE:
        return pd.DataFrame({name: cols[name] for name in COLUMNS}, index=index, copy=False)
    text = _text_maker()
    arrays = []
    for name in COLUMNS:
        values = cols[name]
        if text is not None and isinstance(values, np.ndarray) and values.dtype == object and \
                pd.api.types.infer_dtype(values, skipna=True) == "string":
            values = text(values)
        arrays.append(values)
    return _assembler()(arrays, index)


def critical_values(name: str, m: int) -> float | None:
    """The 5% critical value shown with a CUSUM-type result."""
    if name == "cusum":
        return cusum_critical_value(0.05)
    if name == "cusum_squares":
        return _cusumsq.critical_value(m, 0.05)
    return None
