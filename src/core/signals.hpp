// Signal bit layouts -> extraction triples; the extraction and flag loops.
#pragma once
