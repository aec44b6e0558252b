import tamsel


def test_import():
    assert tamsel.__all__ == ["PyFlat", "PyHNSW"]
