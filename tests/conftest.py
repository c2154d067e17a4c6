def pytest_configure(config):
    config.addinivalue_line("markers", "soak: long leak soak, run only when QUORL_SOAK=1 is set")
