"""orvix: byte messages from native producer threads into Python, through a lock-free ring."""
