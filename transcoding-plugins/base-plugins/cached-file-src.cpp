// cachedfilesrc: a file source that reads through the process-wide file read cache, so that
// several pipelines in one process reading the same file share cached 32 KiB blocks and read
// each from disk once.
//
//   gst-launch-1.0 cachedfilesrc location=in.mp4 ! qtdemux ! h264parse ! fakesink
//
// Otherwise it behaves like the stock filesrc: byte format, "file" URIs, seekable only for
// regular files, files without a size (/proc, pipes, devices) read to their end. Buffers that
// downstream does not provide are built from the cached blocks themselves (read-only memory)
// instead of copies. A file replaced while open is read to the end as it was; one rewritten in
// place fails with a read error instead of mixing old and new bytes.
#include "transcoding-plugins/base-plugins/cached-file-src.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "transcoding-plugins/base-plugins/file-read-cache.h"
#include "transcoding-plugins/common/element.h"
#include "transcoding-plugins/common/gst-ref.h"

GST_DEBUG_CATEGORY_STATIC(cached_file_src_debug);
#define GST_CAT_DEFAULT cached_file_src_debug

namespace {

constexpr guint kDefaultBlockSize = 4096;
// get_size answers from its last fstat for this long.
constexpr gint64 kSizeCacheMicroseconds = 10 * G_USEC_PER_SEC;

enum {
  PROP_0,
  PROP_LOCATION = 1,
};

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

constexpr char kBadStateMessage[] =
    "Changing the `location' property on filesrc when a file is open is not supported.";

}  // namespace

struct _CachedFileSrc {
  GstBaseSrc parent;

  gchar *filename;
  gchar *uri;
  gint handle;
  guint64 read_position;
  gint64 cached_size;
  gint64 cached_size_time;
  gboolean seekable;
  gboolean is_regular;
};

static void cached_file_src_uri_handler_init(gpointer g_iface, gpointer iface_data);

G_DEFINE_TYPE_WITH_CODE(CachedFileSrc, cached_file_src, GST_TYPE_BASE_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER,
                                              cached_file_src_uri_handler_init))

gboolean
cached_file_src_register(GstPlugin *plugin)
{
  // Always our own category: sharing the stock filesrc's would mix the two in the log.
  return element_register(plugin, "cachedfilesrc", GST_RANK_NONE, CACHED_TYPE_FILE_SRC,
                          &cached_file_src_debug, "cachedfilesrc", "cached filesrc element");
}

static void cached_file_src_finalize(GObject *object);
static void cached_file_src_set_property(GObject *object, guint prop_id, const GValue *value,
                                         GParamSpec *pspec);
static void cached_file_src_get_property(GObject *object, guint prop_id, GValue *value,
                                         GParamSpec *pspec);
static gboolean cached_file_src_start(GstBaseSrc *basesrc);
static gboolean cached_file_src_stop(GstBaseSrc *basesrc);
static gboolean cached_file_src_get_size(GstBaseSrc *basesrc, guint64 *size);
static gboolean cached_file_src_is_seekable(GstBaseSrc *basesrc);
static GstFlowReturn cached_file_src_create(GstBaseSrc *basesrc, guint64 offset, guint length,
                                            GstBuffer **buffer);
static GstFlowReturn cached_file_src_fill(GstBaseSrc *basesrc, guint64 offset, guint length,
                                          GstBuffer *buffer);

static void
cached_file_src_class_init(CachedFileSrcClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass *basesrc_class = GST_BASE_SRC_CLASS(klass);

  gobject_class->finalize = cached_file_src_finalize;
  gobject_class->set_property = cached_file_src_set_property;
  gobject_class->get_property = cached_file_src_get_property;

  g_object_class_install_property(
      gobject_class, PROP_LOCATION,
      g_param_spec_string("location", "File Location", "Location of the file to read", nullptr,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                   GST_PARAM_MUTABLE_READY)));

  gst_element_class_set_static_metadata(element_class, "File Source", "Source/File",
                                        "Read from arbitrary point in a file",
                                        "Zorvel media team <media@zorvel.example>");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  basesrc_class->start = GST_DEBUG_FUNCPTR(cached_file_src_start);
  basesrc_class->stop = GST_DEBUG_FUNCPTR(cached_file_src_stop);
  basesrc_class->get_size = GST_DEBUG_FUNCPTR(cached_file_src_get_size);
  basesrc_class->is_seekable = GST_DEBUG_FUNCPTR(cached_file_src_is_seekable);
  basesrc_class->create = GST_DEBUG_FUNCPTR(cached_file_src_create);
  basesrc_class->fill = GST_DEBUG_FUNCPTR(cached_file_src_fill);
}

static void
cached_file_src_init(CachedFileSrc *src)
{
  gst_base_src_set_blocksize(GST_BASE_SRC(src), kDefaultBlockSize);
}

static void
cached_file_src_finalize(GObject *object)
{
  CachedFileSrc *src = CACHED_FILE_SRC(object);
  g_free(src->filename);
  g_free(src->uri);
  G_OBJECT_CLASS(cached_file_src_parent_class)->finalize(object);
}

static gboolean
cached_file_src_set_location(CachedFileSrc *src, const gchar *location, GError **error)
{
  GST_OBJECT_LOCK(src);
  const GstState state = GST_STATE(src);
  if (state != GST_STATE_READY && state != GST_STATE_NULL) {
    GST_OBJECT_UNLOCK(src);
    g_warning("%s", kBadStateMessage);
    g_set_error_literal(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE, kBadStateMessage);
    return FALSE;
  }
  gchar *filename = location ? g_strdup(location) : nullptr;
  gchar *uri = location ? gst_filename_to_uri(location, nullptr) : nullptr;
  g_free(src->filename);
  g_free(src->uri);
  // get_uri may run on another thread.
  src->filename = filename;
  src->uri = uri;
  GST_OBJECT_UNLOCK(src);
  if (location) {
    GST_INFO_OBJECT(src, "filename : %s", filename);
    GST_INFO_OBJECT(src, "uri      : %s", uri);
  }
  g_object_notify(G_OBJECT(src), "location");
  return TRUE;
}

static void
cached_file_src_set_property(GObject *object, guint prop_id, const GValue *value,
                             GParamSpec *pspec)
{
  CachedFileSrc *src = CACHED_FILE_SRC(object);
  switch (prop_id) {
    case PROP_LOCATION:
      cached_file_src_set_location(src, g_value_get_string(value), nullptr);
      break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
}

static void
cached_file_src_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  CachedFileSrc *src = CACHED_FILE_SRC(object);
  switch (prop_id) {
    case PROP_LOCATION:
      g_value_set_string(value, src->filename);
      break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec); break;
  }
}

static gboolean
cached_file_src_start(GstBaseSrc *basesrc)
{
  CachedFileSrc *src = CACHED_FILE_SRC(basesrc);

  if (src->filename == nullptr || src->filename[0] == '\0') {
    GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("No file name specified for reading."),
                      (nullptr));
    return FALSE;
  }

  GST_INFO_OBJECT(src, "opening file %s", src->filename);
  src->handle = cached_open(src->filename, O_RDONLY, 0);
  if (src->handle < 0) {
    const int err = errno;
    if (err == ENOENT) {
      GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, (nullptr),
                        ("No such file \"%s\"", src->filename));
    } else {
      GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ,
                        ("Could not open file \"%s\" for reading.", src->filename),
                        ("system error: %s", g_strerror(err)));
    }
    src->handle = 0;
    return FALSE;
  }

  struct stat st;
  const char *refusal = nullptr;
  if (cached_fstat(src->handle, &st) != 0) {
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("Could not get info on \"%s\".", src->filename),
                      (nullptr));
    refusal = "fstat";
  } else if (S_ISSOCK(st.st_mode)) {
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("File \"%s\" is a socket.", src->filename),
                      (nullptr));
    refusal = "socket";
  } else if (S_ISDIR(st.st_mode)) {
    GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ, ("\"%s\" is a directory.", src->filename),
                      (nullptr));
    refusal = "directory";
  }
  if (refusal) {
    cached_close(src->handle);
    src->handle = 0;
    return FALSE;
  }

  src->read_position = 0;
  src->is_regular = S_ISREG(st.st_mode);
  // The size belongs to the file opened now: one taken before a restart may be another file's.
  src->cached_size = 0;

  gboolean seekable = TRUE;
  if (cached_seek(src->handle, 0, SEEK_END) < 0) {
    GST_LOG_OBJECT(src, "disabling seeking, lseek failed: %s", g_strerror(errno));
    seekable = FALSE;
  }
  cached_seek(src->handle, 0, SEEK_SET);
  src->seekable = seekable && src->is_regular;

  gst_base_src_set_dynamic_size(basesrc, src->seekable);
  return TRUE;
}

static gboolean
cached_file_src_stop(GstBaseSrc *basesrc)
{
  CachedFileSrc *src = CACHED_FILE_SRC(basesrc);
  cached_close(src->handle);
  src->handle = 0;
  src->is_regular = FALSE;
  return TRUE;
}

static gboolean
cached_file_src_is_seekable(GstBaseSrc *basesrc)
{
  return CACHED_FILE_SRC(basesrc)->seekable;
}

static gboolean
cached_file_src_get_size(GstBaseSrc *basesrc, guint64 *size)
{
  CachedFileSrc *src = CACHED_FILE_SRC(basesrc);
  // Pipes and devices have no size worth reporting.
  if (!src->seekable) return FALSE;

  const gint64 now = g_get_real_time();
  if (src->cached_size != 0 && now - src->cached_size_time < kSizeCacheMicroseconds) {
    *size = src->cached_size;
    return TRUE;
  }
  struct stat st;
  if (cached_fstat(src->handle, &st) != 0) return FALSE;
  *size = st.st_size;
  src->cached_size = st.st_size;
  src->cached_size_time = now;
  return TRUE;
}

// Moves the cache session to `offset` unless it is known to be there.
static gboolean
cached_file_src_seek_to(CachedFileSrc *src, guint64 offset)
{
  if (src->read_position == offset) return TRUE;
  const gint64 r = cached_seek(src->handle, static_cast<gint64>(offset), SEEK_SET);
  if (r < 0 || static_cast<guint64>(r) != offset) {
    GST_ELEMENT_ERROR(src, RESOURCE, READ, (nullptr), ("system error: %s", g_strerror(errno)));
    return FALSE;
  }
  src->read_position = offset;
  return TRUE;
}

static void
cached_file_src_release_block(gpointer block)
{
  static_cast<CachedBlock *>(block)->release();
}

// Builds the buffer from the cached blocks themselves: no copy out of the cache. A buffer
// that downstream provides (a pool) goes through fill instead.
static GstFlowReturn
cached_file_src_create(GstBaseSrc *basesrc, guint64 offset, guint length, GstBuffer **buffer)
{
  if (*buffer != nullptr)
    return GST_BASE_SRC_CLASS(cached_file_src_parent_class)
        ->create(basesrc, offset, length, buffer);

  CachedFileSrc *src = CACHED_FILE_SRC(basesrc);
  if (!cached_file_src_seek_to(src, offset)) return GST_FLOW_ERROR;

  gstref::Ref<GstBuffer> out = gstref::adopt(gst_buffer_new());
  guint done = 0;
  while (done < length) {
    GST_LOG_OBJECT(src, "Reading %d bytes at offset 0x%" G_GINT64_MODIFIER "x", length - done,
                   offset + done);
    size_t block_offset = 0, n = 0;
    ssize_t error = 0;
    errno = 0;
    fn::AutoPtr<CachedBlock> block =
        cached_read_block(src->handle, length - done, &block_offset, &n, &error);
    if (error < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      GST_ELEMENT_ERROR(src, RESOURCE, READ, (nullptr), ("system error: %s", g_strerror(errno)));
      return GST_FLOW_ERROR;
    }
    if (n == 0) break;
    CachedBlock *raw = block.release();
    gst_buffer_append_memory(
        out.get(),
        gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY,
                               const_cast<guint8 *>(raw->bytes.data()), raw->bytes.size(),
                               block_offset, n, raw, cached_file_src_release_block));
    done += n;
    src->read_position += n;
  }
  if (length > 0 && done == 0) {
    GST_DEBUG("EOS");
    return GST_FLOW_EOS;
  }
  GST_BUFFER_OFFSET(out.get()) = offset;
  GST_BUFFER_OFFSET_END(out.get()) = offset + done;
  *buffer = out.release();
  return GST_FLOW_OK;
}

static GstFlowReturn
cached_file_src_fill(GstBaseSrc *basesrc, guint64 offset, guint length, GstBuffer *buffer)
{
  CachedFileSrc *src = CACHED_FILE_SRC(basesrc);
  if (!cached_file_src_seek_to(src, offset)) return GST_FLOW_ERROR;

  guint done = 0;
  bool failed = false;
  {
    gstref::BufferMap map(buffer, GST_MAP_WRITE);
    if (!map.ok()) {
      GST_ELEMENT_ERROR(src, RESOURCE, READ, (nullptr), ("could not map the buffer"));
      return GST_FLOW_ERROR;
    }
    guint left = length;
    while (left > 0) {
      GST_LOG_OBJECT(src, "Reading %d bytes at offset 0x%" G_GINT64_MODIFIER "x", left,
                     offset + done);
      errno = 0;
      const ssize_t r = cached_read(src->handle, map.data() + done, left);
      if (r < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        GST_ELEMENT_ERROR(src, RESOURCE, READ, (nullptr),
                          ("system error: %s", g_strerror(errno)));
        failed = true;
        break;
      }
      if (r == 0) break;
      done += r;
      src->read_position += r;
      left -= r;
    }
  }
  if (failed) {
    gst_buffer_resize(buffer, 0, 0);
    return GST_FLOW_ERROR;
  }
  if (length > 0 && done == 0) {
    GST_DEBUG("EOS");
    gst_buffer_resize(buffer, 0, 0);
    return GST_FLOW_EOS;
  }
  if (done < length) gst_buffer_resize(buffer, 0, done);
  GST_BUFFER_OFFSET(buffer) = offset;
  GST_BUFFER_OFFSET_END(buffer) = offset + done;
  return GST_FLOW_OK;
}

static GstURIType
cached_file_src_uri_get_type(GType)
{
  return GST_URI_SRC;
}

static const gchar *const *
cached_file_src_uri_get_protocols(GType)
{
  static const gchar *const protocols[] = {"file", nullptr};
  return protocols;
}

static gchar *
cached_file_src_uri_get_uri(GstURIHandler *handler)
{
  CachedFileSrc *src = CACHED_FILE_SRC(handler);
  GST_OBJECT_LOCK(src);
  gchar *uri = g_strdup(src->uri);
  GST_OBJECT_UNLOCK(src);
  return uri;
}

static gboolean
cached_file_src_uri_set_uri(GstURIHandler *handler, const gchar *uri, GError **error)
{
  CachedFileSrc *src = CACHED_FILE_SRC(handler);

  if (strcmp(uri, "file://") == 0) return cached_file_src_set_location(src, nullptr, error);

  gchar *hostname = nullptr;
  GError *conversion_error = nullptr;
  gchar *location = g_filename_from_uri(uri, &hostname, &conversion_error);
  if (!location) {
    GST_WARNING_OBJECT(src, "Invalid URI '%s' for filesrc: %s", uri,
                       conversion_error ? conversion_error->message : "unknown error");
    if (conversion_error) g_propagate_error(error, conversion_error);
    else g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "Invalid URI '%s'", uri);
    g_free(hostname);
    return FALSE;
  }
  gboolean ok;
  if (hostname && strcmp(hostname, "localhost") != 0) {
    GST_WARNING_OBJECT(src, "Invalid hostname '%s' for filesrc", hostname);
    g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI,
                "File URI with invalid hostname '%s'", hostname);
    ok = FALSE;
  } else {
    ok = cached_file_src_set_location(src, location, error);
  }
  g_free(location);
  g_free(hostname);
  return ok;
}

static void
cached_file_src_uri_handler_init(gpointer g_iface, gpointer)
{
  GstURIHandlerInterface *iface = static_cast<GstURIHandlerInterface *>(g_iface);
  iface->get_type = cached_file_src_uri_get_type;
  iface->get_protocols = cached_file_src_uri_get_protocols;
  iface->get_uri = cached_file_src_uri_get_uri;
  iface->set_uri = cached_file_src_uri_set_uri;
}
