"""The video converter from numpy images: a video written frame by frame, images of the wrong
size refused before the converter reads them, and failures raised with their cause."""
import numpy as np
import pytest

import vireo


def converter(width=64, height=48, src=vireo.VIDEO_PIX_FMT_BGR24):
    video = vireo.DataToVideoConverter()
    video.set_converter_frame_size(height, width, height, width)
    video.set_converter_fmt(src, vireo.VIDEO_PIX_FMT_YUV420P)
    return video


class TestVideo:
    def test_frames_make_a_video(self, tmp_path):
        video = converter()
        path = tmp_path / "frames.mp4"
        video.init_video_converter(str(path))
        for k in range(5):
            image = np.zeros((48, 64, 3), dtype=np.uint8)
            image[:, k * 10:(k + 1) * 10] = 255
            video.rgb_to_video(image)
        assert video.next_pts == 5 * 33333
        video.set_metadata("title", "python frames")
        video.flush_and_close_video()
        data = path.read_bytes()
        assert data[4:8] == b"ftyp" and b"python frames" in data

    def test_images_of_the_wrong_size_are_refused(self, tmp_path):
        video = converter()
        video.init_video_converter(str(tmp_path / "short.mp4"))
        with pytest.raises(ValueError, match="9216 bytes"):
            video.rgb_to_video(np.zeros((47, 64, 3), dtype=np.uint8))
        with pytest.raises(ValueError):
            video.nv12_to_video(np.zeros(10, dtype=np.uint8))
        with pytest.raises(ValueError):
            video.set_converter_frame_size(0, 64, 48, 64)

    def test_failures_raise_with_their_cause(self, tmp_path):
        video = converter()
        with pytest.raises(vireo.Error, match="cannot create the video"):
            video.init_video_converter(str(tmp_path / "missing" / "clip.mp4"))
        assert video.last_error
        with pytest.raises(vireo.Error):
            converter().rgb_to_video(np.zeros((48, 64, 3), dtype=np.uint8))  # not initialised
        with pytest.raises(vireo.Error):
            vireo.DataToVideoConverter().flush_and_close_video()

    def test_nv12_converts_to_bgr(self):
        video = vireo.DataToVideoConverter()
        video.set_converter_frame_size(48, 64, 48, 64)
        video.set_converter_fmt(vireo.VIDEO_PIX_FMT_NV12, vireo.VIDEO_PIX_FMT_BGR24)
        nv12 = np.full(64 * 48 * 3 // 2, 128, dtype=np.uint8)
        nv12[:64 * 48] = 200  # bright grey luma, neutral chroma
        bgr = video.nv12_to_rgb(nv12)
        assert bgr.shape == (48, 64, 3)
        assert np.all(np.abs(bgr.astype(int) - bgr[0, 0, 0]) <= 2) and bgr[0, 0, 0] > 180
