// Records -> frame object bytes and container framing for the writer.
#pragma once
