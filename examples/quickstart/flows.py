"""A tiny example project: three assets, one of them partitioned."""

from mervo import asset, partitions


@asset()
def raw() -> list:
    return [1, 2, 3]


@asset(inputs={"data": raw})
def processed(data: list) -> list:
    return [x * 2 for x in data]


@asset(name="prices", partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
def prices(ticker: str) -> dict:
    return {"ticker": ticker, "price": len(ticker) * 10.5}
