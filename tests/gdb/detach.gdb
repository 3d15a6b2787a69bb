break MmioRead32
continue
delete
# The first word of the first SATA lane record in the policy record.
watch *(unsigned int *)(0x402000 + 3538)
continue
frames watchpoint
detach
