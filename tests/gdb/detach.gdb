break MmioRead32
continue
detach
