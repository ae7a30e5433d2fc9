# Column names of the object identifier and the object version in every
# object table.
PRIMARY_PARTITION_KEY = "partition_key"
SECONDARY_PARTITION_KEY = "range_key"
