"""Discovery of installed skills and of install targets."""
