#include "columns.h"

#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace brenvolt::columns {
namespace {

constexpr std::size_t kAlignment = 64;

std::uint8_t* allocate(std::size_t capacity) {
  void* data = std::aligned_alloc(kAlignment, capacity);
  if (data == nullptr) throw std::bad_alloc();
  return static_cast<std::uint8_t*>(data);
}

// Large blocks of released batches, kept for the next batches: a batch of
// one table is much like the last, and memory fresh from the system costs a
// page fault for every page written. Batches are released on any thread
// (a consumer's), so the pool has a lock; it keeps a bounded number of bytes.
class BlockPool {
 public:
  static constexpr std::size_t kSmallest = std::size_t{1} << 16;
  static constexpr std::size_t kMostKept = std::size_t{32} << 20;

  // A block of at least `capacity` bytes (and at most twice that), or null.
  std::uint8_t* take(std::size_t& capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i].capacity >= capacity && blocks_[i].capacity / 2 <= capacity) {
        const Block block = blocks_[i];
        blocks_[i] = blocks_.back();
        blocks_.pop_back();
        kept_ -= block.capacity;
        capacity = block.capacity;
        return block.data;
      }
    }
    return nullptr;
  }

  // Keeps `data` for later, or frees it.
  void give(std::uint8_t* data, std::size_t capacity) {
    if (capacity >= kSmallest) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kept_ + capacity <= kMostKept) {
        blocks_.push_back({data, capacity});
        kept_ += capacity;
        return;
      }
    }
    std::free(data);
  }

 private:
  struct Block {
    std::uint8_t* data;
    std::size_t capacity;
  };
  std::mutex mutex_;
  std::vector<Block> blocks_;
  std::size_t kept_ = 0;
};

// Never destroyed: batches may be released while the process exits.
BlockPool& block_pool() {
  static BlockPool* pool = new BlockPool();
  return *pool;
}

}  // namespace

const std::uint8_t* Buffer::empty_block() {
  alignas(kAlignment) static const std::uint8_t block[kAlignment] = {};
  return block;
}

Buffer::Buffer(Buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
  return *this;
}

Buffer::~Buffer() {
  if (data_ != nullptr) block_pool().give(data_, capacity_);
}

void Buffer::grow(std::size_t needed) {
  std::size_t capacity = capacity_ == 0 ? kAlignment : capacity_;
  while (capacity < needed) capacity *= 2;
  std::uint8_t* grown = capacity >= BlockPool::kSmallest ? block_pool().take(capacity) : nullptr;
  if (grown == nullptr) grown = allocate(capacity);
  if (size_ > 0) std::memcpy(grown, data_, size_);
  if (data_ != nullptr) block_pool().give(data_, capacity_);
  data_ = grown;
  capacity_ = capacity;
}

void Buffer::resize(std::size_t size) {
  if (size > capacity_) grow(size);
  if (size > size_) std::memset(data_ + size_, 0, size - size_);
  size_ = size;
}

Column::Column(ColumnType type) : type_(type) {
  if (type == ColumnType::String || type == ColumnType::StringMap) offsets_.push(std::int32_t{0});
  if (type == ColumnType::StringMap) {
    map_offsets_.push(std::int32_t{0});
    key_offsets_.push(std::int32_t{0});
  }
}

void Column::materialise_validity() {
  // Every row so far was valid.
  validity_.resize((length_ + 8) / 8 + 1);
  for (std::size_t row = 0; row < length_; ++row) set_bit(row);
}

void Column::set_bit(std::size_t row) {
  if (validity_.size() <= row / 8) validity_.resize(validity_.size() * 2 + 8);
  validity_.data()[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
}

void Column::append_null() {
  if (null_count_ == 0) materialise_validity();
  if (validity_.size() <= length_ / 8) validity_.resize(validity_.size() * 2 + 8);
  ++null_count_;
  switch (type_) {
    case ColumnType::String:
      offsets_.push(static_cast<std::int32_t>(data_.size()));
      break;
    case ColumnType::Int32:
      data_.push(std::int32_t{0});
      break;
    case ColumnType::Int64:
      data_.push(std::int64_t{0});
      break;
    case ColumnType::StringMap:
      map_offsets_.push(static_cast<std::int32_t>(entries_));
      break;
  }
  ++length_;
}

void Column::append_repeated(std::string_view text, std::size_t count) {
  if (count == 0) return;
  // The text once, then the bytes written so far copied after themselves.
  const std::size_t bytes = text.size() * count;
  char* out = data_.room(bytes);
  if (text.size() <= 32) {
    // A short text (a segment name): a few moves a row, no call.
    for (std::size_t i = 0; i < count; ++i) Buffer::copy_text(out + i * text.size(), text);
  } else {
    std::size_t done = text.size();
    std::memcpy(out, text.data(), done);
    while (done < bytes) {
      const std::size_t more = done < bytes - done ? done : bytes - done;
      std::memcpy(out + done, out, more);
      done += more;
    }
  }
  auto* offsets = reinterpret_cast<std::int32_t*>(offsets_.room(count * sizeof(std::int32_t)));
  const std::size_t start = data_.size();
  for (std::size_t i = 0; i < count; ++i) {
    offsets[i] = static_cast<std::int32_t>(start + (i + 1) * text.size());
  }
  data_.advance(bytes);
  offsets_.advance(count * sizeof(std::int32_t));
  if (null_count_ > 0) {
    for (std::size_t i = 0; i < count; ++i) set_bit(length_ + i);
  }
  length_ += count;
}

void Column::append_repeated_int32(std::int32_t value, std::size_t count) {
  append_int32s(count, [value](std::size_t) { return value; });
}

void Column::reserve_like(const Column& other) {
  data_.reserve(other.data_.size());
  offsets_.reserve(other.offsets_.size());
  map_offsets_.reserve(other.map_offsets_.size());
  keys_.reserve(other.keys_.size());
  key_offsets_.reserve(other.key_offsets_.size());
}

void Column::drop_last_string() {
  // Only for a valid last row of a String column.
  offsets_.resize(offsets_.size() - sizeof(std::int32_t));
  std::int32_t end;
  std::memcpy(&end, offsets_.data() + offsets_.size() - sizeof end, sizeof end);
  data_.resize(static_cast<std::size_t>(end));
  --length_;
  if (null_count_ > 0) {
    validity_.data()[length_ / 8] &= static_cast<std::uint8_t>(~(1u << (length_ % 8)));
  }
}

// ---- export -----------------------------------------------------------------

namespace {

const char* format_of(ColumnType type) {
  switch (type) {
    case ColumnType::String:
      return "u";
    case ColumnType::Int32:
      return "i";
    case ColumnType::Int64:
      return "l";
    case ColumnType::StringMap:
      return "+m";
  }
  return "u";
}

// One exported schema node and what it owns: its texts and its children.
struct SchemaNode {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> child_schemas;
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
  auto* node = static_cast<SchemaNode*>(schema->private_data);
  for (ArrowSchema* child : node->children) {
    if (child->release != nullptr) child->release(child);
  }
  delete node;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name, std::int64_t flags,
                 std::size_t child_count) {
  auto node = std::make_unique<SchemaNode>();
  node->format = std::move(format);
  node->name = std::move(name);
  node->child_schemas.resize(child_count);
  for (ArrowSchema& child : node->child_schemas) node->children.push_back(&child);
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(child_count);
  out->children = child_count > 0 ? node->children.data() : nullptr;
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = node.release();
}

ArrowSchema* child_schema(ArrowSchema* parent, std::size_t i) { return parent->children[i]; }

void fill_field_schema(const ColumnField& field, ArrowSchema* out) {
  const std::int64_t flags = field.nullable ? ARROW_FLAG_NULLABLE : 0;
  if (field.type != ColumnType::StringMap) {
    fill_schema(out, format_of(field.type), field.name, flags, 0);
    return;
  }
  fill_schema(out, "+m", field.name, flags, 1);
  ArrowSchema* entries = child_schema(out, 0);
  fill_schema(entries, "+s", "entries", 0, 2);
  fill_schema(child_schema(entries, 0), "u", "key", 0, 0);
  fill_schema(child_schema(entries, 1), "u", "value", ARROW_FLAG_NULLABLE, 0);
}

// One exported array node: the batch it keeps alive, its buffer pointers and
// its children.
struct ArrayNode {
  std::shared_ptr<const ColumnBatch> batch;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> child_arrays;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  auto* node = static_cast<ArrayNode*>(array->private_data);
  // A consumer may have moved a child out and released it on its own.
  for (ArrowArray* child : node->children) {
    if (child->release != nullptr) child->release(child);
  }
  delete node;
  array->release = nullptr;
}

ArrayNode* fill_array(ArrowArray* out, const std::shared_ptr<const ColumnBatch>& batch,
                      std::size_t length, std::size_t null_count,
                      std::initializer_list<const void*> buffers, std::size_t child_count) {
  auto node = std::make_unique<ArrayNode>();
  node->batch = batch;
  node->buffers.assign(buffers);
  node->child_arrays.resize(child_count);
  for (ArrowArray& child : node->child_arrays) node->children.push_back(&child);
  out->length = static_cast<std::int64_t>(length);
  out->null_count = static_cast<std::int64_t>(null_count);
  out->offset = 0;
  out->n_buffers = static_cast<std::int64_t>(node->buffers.size());
  out->n_children = static_cast<std::int64_t>(child_count);
  out->buffers = node->buffers.data();
  out->children = child_count > 0 ? node->children.data() : nullptr;
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = node.get();
  return node.release();
}

}  // namespace

// Reaches into a Column's buffers for the export.
struct ExportedBatch {
  static void fill_column(const std::shared_ptr<const ColumnBatch>& batch, const Column& column,
                          ArrowArray* out) {
    const void* validity = column.null_count_ > 0 ? column.validity_.data() : nullptr;
    switch (column.type_) {
      case ColumnType::String:
        fill_array(out, batch, column.length_, column.null_count_,
                   {validity, column.offsets_.data(), column.data_.data()}, 0);
        return;
      case ColumnType::Int32:
      case ColumnType::Int64:
        fill_array(out, batch, column.length_, column.null_count_, {validity, column.data_.data()},
                   0);
        return;
      case ColumnType::StringMap: {
        ArrayNode* map = fill_array(out, batch, column.length_, column.null_count_,
                                    {validity, column.map_offsets_.data()}, 1);
        ArrowArray* entries = map->children[0];
        ArrayNode* pair = fill_array(entries, batch, column.entries_, 0, {nullptr}, 2);
        fill_array(pair->children[0], batch, column.entries_, 0,
                   {nullptr, column.key_offsets_.data(), column.keys_.data()}, 0);
        fill_array(pair->children[1], batch, column.entries_, 0,
                   {nullptr, column.offsets_.data(), column.data_.data()}, 0);
        return;
      }
    }
  }
};

void export_schema(const std::vector<ColumnField>& fields, ArrowSchema* out) {
  fill_schema(out, "+s", "", 0, fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) fill_field_schema(fields[i], out->children[i]);
}

void export_batch(const std::shared_ptr<const ColumnBatch>& batch, ArrowArray* out) {
  ArrayNode* node = fill_array(out, batch, batch->rows, 0, {nullptr}, batch->columns.size());
  for (std::size_t i = 0; i < batch->columns.size(); ++i) {
    ExportedBatch::fill_column(batch, batch->columns[i], node->children[i]);
  }
}

}  // namespace brenvolt::columns
