import _vosket


def test_version_and_docstring():
    assert _vosket.__version__ == "0.1.0-alpha.3"
    assert _vosket.__doc__ == ""
    assert _vosket.__all__[-1] == "__version__"
