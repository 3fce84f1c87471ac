"""Long factor answers into date x stock matrices."""

import numpy as np
import pandas as pd


def to_yyyymmdd(values) -> pd.Series:
    """Eight-digit date texts; anything unparseable missing."""
    parsed = pd.to_datetime(values, errors="coerce")
    if isinstance(parsed, pd.Series):
        return parsed.dt.strftime("%Y%m%d")
    return pd.Series(parsed).dt.strftime("%Y%m%d")


def text(values: pd.Series) -> pd.Series:
    """str form of every present value; a missing one stays missing."""
    return values.astype(str).where(values.notna())


def clean(matrix: pd.DataFrame) -> pd.DataFrame:
    """float64 values with +-inf as NaN, both axes ascending and unnamed."""
    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[np.isinf(values)] = np.nan
    out = pd.DataFrame(values, index=pd.Index(matrix.index).rename(None), columns=pd.Index(matrix.columns).rename(None))
    return out.sort_index().sort_index(axis=1)


def factors_to_matrices(df, names):
    """One matrix per asked name (empty when the answer has none), from a narrow
    (ukey, date, factor, value) or wide (ukey, date, one column per factor) answer:
    six-digit codes, "YYYYMMDD" dates, numeric values, rows without a code, date or
    value dropped, the later of two rows of one cell kept."""
    result = {n: pd.DataFrame() for n in names}
    if df is None or len(df) == 0:
        return result
    d = df.copy().rename(columns={"date": "DataDate", "value": "x", "factor": "factorname", "factor_name": "factorname"})
    d["ukey"] = text(d["ukey"]).str[:6]
    d["DataDate"] = to_yyyymmdd(d["DataDate"])
    if "x" in d.columns:
        d["x"] = pd.to_numeric(d["x"], errors="coerce")

    def pivot(part):
        part = part.dropna(subset=["ukey", "DataDate", "x"]).drop_duplicates(subset=["ukey", "DataDate"], keep="last")
        return clean(part.pivot(index="DataDate", columns="ukey", values="x"))

    if "factorname" in d.columns:
        d["factorname"] = text(d["factorname"])
        for name, part in d.groupby("factorname", sort=False, observed=True):
            if name in result:
                result[name] = pivot(part[["DataDate", "ukey", "x"]])
    else:
        for name in names:
            if name in d.columns:
                part = d[["DataDate", "ukey", name]].rename(columns={name: "x"})
                part["x"] = pd.to_numeric(part["x"], errors="coerce")
                result[name] = pivot(part)
    return result
