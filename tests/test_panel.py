"""The battery over a panel: equal, bit for bit, to the battery of each group alone."""

import threading
import warnings

import numpy as np
import pytest

import Kestrix.diagnostics as kd
from Kestrix.diagnostics import _panel

pd = pytest.importorskip("pandas")


def long_panel(groups=240, seed=0):
    """Firms of mixed sizes (many the same size), one row per period, three regressors."""
    rng = np.random.default_rng(seed)
    parts = []
    for g in range(groups):
        n = int(rng.choice([12, 40, 40, 40, 75, 120]))
        X = rng.standard_normal((n, 3))
        e = rng.standard_normal(n) * (1 + 0.5 * (g % 3 == 0) * np.abs(X[:, 0]))
        parts.append(pd.DataFrame({"firm": f"f{g:04d}", "t": np.arange(n), "ret": 0.1 + X @ [1.0, -0.5, 0.2] + e,
                                   "mkt": X[:, 0], "smb": X[:, 1], "hml": X[:, 2]}))
    return pd.concat(parts, ignore_index=True)


def alone(frame, x=("mkt", "smb", "hml"), **options):
    """kd.battery on one group's arrays, with the constant first (named as the panel names its columns)."""
    X = pd.DataFrame(np.column_stack([np.ones(len(frame)), frame[list(x)].to_numpy()]), columns=["const", *x])
    if "break_at" in options:  # the panel's break is a position within each group
        options = dict(options, position=options.pop("break_at"))
    return kd.battery(frame["ret"].to_numpy(), X, **options)


def assert_same_rows(panel_rows, single):
    assert list(panel_rows.index) == list(single.index)
    for column in ("statistic", "pvalue"):
        np.testing.assert_array_equal(panel_rows[column].to_numpy(), single[column].to_numpy())
    for column in ("label", "df", "status", "fallback", "verdict", "note", "error"):
        assert list(panel_rows[column]) == list(single[column]), column
    assert [None if pd.isna(v) else bool(v) for v in panel_rows["reject_5pct"]] == \
        [None if pd.isna(v) else bool(v) for v in single["reject_5pct"]]


def test_each_group_equals_its_battery_alone():
    frame = long_panel()
    table = kd.battery_panel(frame, "firm", "ret", ["mkt", "smb", "hml"], workers=1, lags=2)
    assert table.index.names == ["firm", "test"]
    firms = sorted(frame["firm"].unique())
    assert list(table.columns) == [*alone(frame[frame["firm"] == firms[0]]).columns, "nobs"]
    assert list(table.index.get_level_values("firm").unique()) == firms
    for firm, group in frame.groupby("firm"):
        rows = table.loc[firm]
        assert_same_rows(rows, alone(group, lags=2))
        assert (rows["nobs"] == len(group)).all()


def test_the_same_bits_for_any_worker_count_and_group_order(monkeypatch):
    from Kestrix.diagnostics import _table

    monkeypatch.setattr(_table, "_THREADED_TABLE", 16)  # p-values on the workers' threads from 16 groups on
    frame = long_panel(groups=160, seed=1)
    reference = kd.battery_panel(frame, "firm", "ret", ["mkt", "smb", "hml"], workers=1)
    # The groups in another order, each group's rows still in time order.
    firms = frame["firm"].unique()
    shuffled = pd.concat([frame[frame["firm"] == f] for f in np.random.default_rng(2).permutation(firms)])
    # The rows of different groups interleaved, each group's order kept.
    interleaved = frame.sort_values(["t", "firm"], kind="stable")
    for data in (frame, shuffled, interleaved):
        for workers in (1, 2, 4):
            table = kd.battery_panel(data, "firm", "ret", ["mkt", "smb", "hml"], workers=workers)
            pd.testing.assert_frame_equal(table, reference, check_exact=True)


def test_bad_groups_get_error_rows_and_the_others_are_computed():
    frame = long_panel(groups=30, seed=3)
    n = 20
    rng = np.random.default_rng(4)
    good = lambda name: pd.DataFrame({"firm": name, "t": np.arange(n), "ret": rng.standard_normal(n),  # noqa: E731
                                      "mkt": rng.standard_normal(n), "smb": rng.standard_normal(n),
                                      "hml": rng.standard_normal(n)})
    few = good("bad-few").iloc[:3]
    single = good("bad-one-row").iloc[:1]
    constant = good("bad-constant").assign(ret=2.0)
    all_nan = good("bad-nan").assign(ret=np.nan)
    inf = good("bad-inf")
    inf.loc[inf.index[5], "mkt"] = np.inf
    deficient = good("deficient").assign(hml=lambda d: 2.0 * d["mkt"])
    data = pd.concat([frame, few, single, constant, all_nan, inf, deficient], ignore_index=True)
    table = kd.battery_panel(data, "firm", "ret", ["mkt", "smb", "hml"], workers=2)

    assert table.loc["bad-nan", "error"].str.contains("y contains 20 missing values").all()
    assert (table.loc["bad-nan", "status"] == kd.Status.UNDEFINED_VARIANCE).all()
    assert table.loc["bad-inf", "error"].str.contains("X contains 1 infinite value").all()
    assert table.loc["bad-constant", "error"].str.contains("zero variance").all()
    # Three rows for four coefficients: no test applies, and that is no error.
    few_rows = table.loc["bad-few"]
    assert few_rows["error"].isna().all() and (few_rows["status"] == kd.Status.NOT_APPLICABLE).all()
    assert (few_rows["verdict"] == "not applicable").all() and few_rows["note"].str.contains("too few").all()
    assert few_rows["nobs"].eq(3).all()
    # A rank-deficient design is no error: the pivoted QR leaves the dependent column out.
    assert table.loc["deficient", "error"].isna().all() and not table["fallback"].any()
    assert table.loc[("deficient", "chow"), "df"] == (3, 14)
    for name, group in (("deficient", deficient), ("bad-constant", constant), ("bad-few", few),
                        ("bad-one-row", single)):
        assert_same_rows(table.loc[name], alone(group))
    for firm, group in frame.groupby("firm"):
        assert_same_rows(table.loc[firm], alone(group))


def test_several_key_columns_and_options():
    frame = long_panel(groups=40, seed=5)
    frame["country"] = np.where(frame["firm"].str[-1].astype(int) % 2 == 0, "de", "fr")
    table = kd.battery_panel(frame, ["country", "firm"], "ret", ["mkt"], workers=2,
                             tests=["cusum_squares", "chow"], position=6)
    assert table.index.names == ["country", "firm", "test"]
    country, firm = table.index[0][:2]
    group = frame[frame["firm"] == firm]
    assert_same_rows(table.loc[(country, firm)], alone(group, x=["mkt"], tests=["cusum_squares", "chow"],
                                                       position=6))


@pytest.mark.parametrize("call, error, message", [
    (lambda f: kd.battery_panel(f, "firm", "ret", ["nope"]), ValueError, "unknown column 'nope'"),
    (lambda f: kd.battery_panel(f.assign(mkt="x"), "firm", "ret", ["mkt"]), ValueError, "'mkt' is not numeric"),
    (lambda f: kd.battery_panel(f, "firm", "ret", ["mkt"], workers=0), ValueError, "workers must be"),
    (lambda f: kd.battery_panel(f, "firm", "ret", ["mkt"], lag=3), TypeError, "unexpected option 'lag'"),
    (lambda f: kd.battery_panel(f.to_numpy(), "firm", "ret", ["mkt"]), TypeError, "pandas DataFrame"),
])
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(long_panel(groups=3))


def test_keyboard_interrupt_stops_the_pool(monkeypatch):
    frame = long_panel(groups=400, seed=6)
    monkeypatch.setattr(_panel, "CHUNK", 4)  # about a hundred tasks
    tasks = len(_panel._tasks(_panel.split(frame, "firm", "ret", ["mkt"])))
    original = _panel._engine.run
    calls = []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) == 10:
            raise KeyboardInterrupt
        return original(*args, **kwargs)

    monkeypatch.setattr(_panel._engine, "run", interrupted)
    with pytest.raises(KeyboardInterrupt):
        kd.battery_panel(frame, "firm", "ret", ["mkt"], workers=2)
    assert tasks > 50 and len(calls) < tasks  # the pool stopped rather than running every task
    assert not [t for t in threading.enumerate() if t.name.startswith("kestrix-panel")]


def test_progress_bar_on_standard_error(capsys):
    pytest.importorskip("tqdm")
    before = set(threading.enumerate())
    kd.battery_panel(long_panel(groups=20), "firm", "ret", ["mkt"], workers=2, progress=True)
    assert "group" in capsys.readouterr().err
    assert set(threading.enumerate()) <= before  # no thread left behind, the bar's included
    kd.battery_panel(long_panel(groups=20), "firm", "ret", ["mkt"], workers=1, progress=False)
    assert capsys.readouterr().err == ""


def test_without_scipy_the_table_says_so(monkeypatch):
    import sys

    frame = long_panel(groups=5)
    for name in ("scipy", "scipy.special", "scipy.special.cython_special", "scipy.stats"):
        monkeypatch.setitem(sys.modules, name, None)
    table = kd.battery_panel(frame, "firm", "ret", ["mkt"], workers=1)
    bg = table.xs("breusch_godfrey", level="test")
    assert bg["pvalue"].isna().all() and (bg["verdict"] == "no p-value: SciPy is not installed").all()
    assert table.xs("cusum", level="test")["pvalue"].notna().all()


# --- one engine call per chunk of groups; special groups among clean ones ----

X3 = ["mkt", "smb", "hml"]


@pytest.mark.parametrize("chunk, cells", [(1, 1 << 21), (3, 1 << 21), (7, 300), (2048, 1 << 21)])
def test_any_chunking_gives_the_same_bits_in_one_engine_call_per_chunk(monkeypatch, chunk, cells):
    frame = long_panel(groups=90, seed=7)
    reference = kd.battery_panel(frame, "firm", "ret", X3, workers=1)
    monkeypatch.setattr(_panel, "CHUNK", chunk)
    monkeypatch.setattr(_panel, "CELLS", cells)
    tasks = _panel._tasks(_panel.split(frame, "firm", "ret", X3), 1)
    assert [g for task in tasks for g in range(*task)] == list(range(90))  # every group once, in order
    panel = _panel.split(frame, "firm", "ret", X3)
    for g0, g1 in tasks:  # each within the limits, unless one group alone exceeds them
        assert g1 - g0 <= chunk
        assert g1 - g0 == 1 or int(panel.sizes[g0:g1].sum()) * 4 <= cells
        if g1 < 90 and g1 - g0 < chunk:  # greedy: the next group would break a limit
            assert int(panel.sizes[g0:g1 + 1].sum()) * 4 > cells
    calls = []
    original = _panel._engine.run

    def counted(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)

    monkeypatch.setattr(_panel._engine, "run", counted)
    pd.testing.assert_frame_equal(kd.battery_panel(frame, "firm", "ret", X3, workers=1), reference,
                                  check_exact=True)
    assert len(calls) == len(tasks) and len(tasks) >= min(90, -(-90 // chunk))


def special(kind, rng, n=40):
    """A group of n rows that is special in some way, among clean groups of the same size."""
    if kind.endswith("rows"):  # "8 rows": tests flagged (below 10 rows) or not applicable
        n = int(kind.split()[-2])
    X = rng.standard_normal((n, 3))
    y = 0.1 + X @ [1.0, -0.5, 0.2] + rng.standard_normal(n)
    if kind == "rank-deficient":
        X[:, 2] = 2.0 * X[:, 0]
    elif kind == "constant regressor":
        X[:, 1] = 3.0
    elif kind == "zero regressor":
        X[:, 1] = 0.0
    elif kind == "exact fit":
        y = 0.1 + X @ [1.0, -0.5, 0.2]
    elif kind == "constant response":
        y[:] = 2.5
    elif kind == "near-collinear":  # of full rank, within 1e-9 of a dependent column
        X[:, 2] = 2.0 * X[:, 0] + 1e-9 * rng.standard_normal(n)
    elif kind == "nan":
        X[7, 1] = np.nan
    elif kind.startswith("outlier"):  # among short groups alike but for the verdict of their flagged rows
        y[-1] += 50.0
    elif kind == "tied residuals":  # zero recursive-residual variance after the first p rows
        y = 0.1 + X @ [1.0, -0.5, 0.2]
        y[-1] += 1.0
    return pd.DataFrame({"firm": f"z-{kind}", "t": np.arange(n), "ret": y, "mkt": X[:, 0], "smb": X[:, 1],
                         "hml": X[:, 2]})


KINDS = ["rank-deficient", "near-collinear", "constant regressor", "zero regressor", "exact fit", "constant response",
         "nan", "tied residuals", "a: 8 rows", "b: 8 rows", "outlier: 8 rows",
         "a: 5 rows", "b: 5 rows"]


@pytest.mark.parametrize("options", [
    {},
    {"lags": 1},
    {"kernel": "parzen", "bandwidth": 3},
    {"position": 7},
    {"break_at": 30},
    {"kernel": "qs"},
    {"lags": 30},  # clamped for the shortest groups, refused for some
    {"tests": ["white", "chow", "reset", "box_pierce", "breusch_godfrey_f"]},
    {"cusum_scale": "recursive", "arch_lags": 2, "power": 4},
], ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "defaults")
def test_special_groups_among_clean_ones_equal_their_battery_alone(options):
    rng = np.random.default_rng(8)
    frame = pd.concat([long_panel(groups=40, seed=9), *[special(kind, rng) for kind in KINDS]], ignore_index=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        table = kd.battery_panel(frame, "firm", "ret", X3, workers=2, **options)
    for firm, group in frame.groupby("firm"):
        if firm == "z-nan":  # the battery alone refuses such arrays; the panel reports the refusal per row
            assert table.loc[firm, "error"].str.contains("X contains 1 missing value").all()
        else:
            assert_same_rows(table.loc[firm], alone(group, **options))


def test_a_constant_among_the_regressors_without_add_constant():
    frame = long_panel(groups=30, seed=11).assign(two=2.0)
    x = ["mkt", "two", "smb"]  # the constant, of value 2, in the middle
    table = kd.battery_panel(frame, "firm", "ret", x, add_constant=False, workers=1)
    for firm, group in frame.groupby("firm"):
        assert_same_rows(table.loc[firm], kd.battery(group["ret"].to_numpy(), group[x].to_numpy()))


def test_no_blas_or_lapack_on_the_path(monkeypatch):
    """The battery and the panel give the same bits with NumPy's linear algebra made to raise (the
    statistics come from the engine; only sup-F's p-value uses SciPy's eigensolver)."""
    from test_fit_and_battery import LINALG

    frame = long_panel(groups=40, seed=12)
    group = frame[frame["firm"] == frame["firm"].iloc[0]]
    reference = kd.battery_panel(frame, "firm", "ret", X3, workers=2, tests=kd.TESTS + kd.OPTIONAL)
    alone_reference = alone(group, tests=kd.TESTS + kd.OPTIONAL)

    def refused(*args, **kwargs):
        raise AssertionError("NumPy's linear algebra was called")

    for name in LINALG:
        monkeypatch.setattr(np.linalg, name, refused)
    pd.testing.assert_frame_equal(kd.battery_panel(frame, "firm", "ret", X3, workers=2,
                                                   tests=kd.TESTS + kd.OPTIONAL), reference, check_exact=True)
    assert_same_rows(alone(group, tests=kd.TESTS + kd.OPTIONAL), alone_reference)


@pytest.mark.parametrize("dtype", ["int64", "int32", "uint16", "Int64"])
def test_a_sorted_integer_key_gives_the_table_of_any_order(dtype):
    frame = long_panel(groups=30, seed=14)
    frame["firm"] = frame["firm"].str[1:].astype(int).astype(dtype) * 3  # gaps between the keys
    reference = kd.battery_panel(frame, "firm", "ret", X3, workers=1)  # sorted: the groups are the key's runs
    backwards = pd.concat([g for _, g in frame.groupby("firm")][::-1], ignore_index=True)
    pd.testing.assert_frame_equal(kd.battery_panel(backwards, "firm", "ret", X3, workers=1), reference,
                                  check_exact=True)
    assert reference.index.get_level_values("firm").dtype == frame["firm"].dtype
