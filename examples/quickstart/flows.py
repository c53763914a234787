"""The bundled example project: a small chain, a partitioned asset and a fan-in.

Run it with `mervo run flows` from this folder. Set MERVO_EXAMPLE_FAIL=1 to see a failing
asset and the assets downstream of it skipped.
"""

import os

from mervo import asset, partitions


@asset()
def raw() -> list:
    """Numbers as they arrive from a source."""
    return [3, 1, 4, 1, 5, 9, 2, 6]


@asset(inputs={"data": raw})
def processed(data: list) -> list:
    return sorted(x * 2 for x in data)


@asset(
    name="prices",
    partitions={
        "ticker": partitions(["AAPL", "MSFT", "GOOG"]),
        "month": partitions(["2026-01", "2026-02"]),
    },
)
def prices(ticker: str, month: str) -> dict:
    base = {"AAPL": 190.0, "MSFT": 410.0, "GOOG": 150.0}[ticker]
    return {"ticker": ticker, "month": month, "close": base + int(month[-2:]) * 1.5}


@asset(inputs={"prices": "prices"})
def price_report(prices: dict) -> dict:
    """Consumes every partition of `prices`: a mapping from partition key to value."""
    closes = {key: value["close"] for key, value in prices.items()}
    return {"partitions": len(closes), "highest": max(closes, key=closes.get)}


@asset(inputs={"numbers": processed})
def checked(numbers: list) -> int:
    if os.environ.get("MERVO_EXAMPLE_FAIL") == "1":
        raise ValueError("failing on purpose (MERVO_EXAMPLE_FAIL=1)")
    return sum(numbers)


@asset(inputs={"total": checked})
def published(total: int) -> str:
    return f"total={total}"
